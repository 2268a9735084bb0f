// The default platform's operating-system calls on Windows.
#include "platform/internal/Os.h"

#include <windows.h>

#include <cwchar>
#include <filesystem>
#include <string>

namespace iotcloud {
namespace os {
namespace {

std::string Utf8(const wchar_t* text) {
  if (text == nullptr || text[0] == L'\0') return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return std::string();
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
  out.resize(static_cast<size_t>(size) - 1);
  return out;
}

}  // namespace

std::string DefaultCachePath() {
  std::string base = Utf8(_wgetenv(L"LOCALAPPDATA"));
  if (base.empty()) {
    // No profile folder in the environment (a service): the system's
    // temporary folder still belongs to this user.
    std::error_code error;
    base = std::filesystem::temp_directory_path(error).u8string();
  }
  while (!base.empty() && (base.back() == '\\' || base.back() == '/')) base.pop_back();
  return base + "\\iotcloud\\cache.db";
}

std::string UserLocaleName() {
  wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
  if (GetUserDefaultLocaleName(name, LOCALE_NAME_MAX_LENGTH) == 0) return std::string();
  return Utf8(name);
}

bool IsSpecialFile(const std::string& path) {
  const std::wstring wide = std::filesystem::u8path(path).wstring();
  // Opening for no access reads attributes without disturbing a device.
  HANDLE handle = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION information{};
  const bool regular = GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &information) &&
                       (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  CloseHandle(handle);
  return !regular;
}

bool LocalTime(std::time_t when, std::tm* out) { return localtime_s(out, &when) == 0; }

std::string UriPath(const std::string& path) {
  std::string out = path;
  for (char& c : out) c = c == '\\' ? '/' : c;
  // "C:/x" is the path "/C:/x" in a URI.
  if (out.size() >= 2 && out[1] == ':') out.insert(out.begin(), '/');
  return out;
}

}  // namespace os
}  // namespace iotcloud
