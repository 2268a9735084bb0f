// Test helpers on Windows.
#include "support/System.h"

// Winsock before <windows.h>, and <windows.h> before <wincrypt.h>.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <wincrypt.h>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace iotcloud_test {
namespace {

std::wstring Wide(const std::string& utf8) { return std::filesystem::u8path(utf8).wstring(); }

// One argument as the C runtime's command-line parser reads it back:
// backslashes are literal unless they precede a quote.
void AppendQuoted(const std::wstring& argument, std::wstring* line) {
  if (!line->empty()) line->push_back(L' ');
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line->append(argument);
    return;
  }
  line->push_back(L'"');
  size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line->append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    line->push_back(c);
  }
  line->append(2 * backslashes, L'\\');
  line->push_back(L'"');
}

HANDLE AsHandle(long long value) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(value)); }
long long FromHandle(HANDLE handle) { return static_cast<long long>(reinterpret_cast<intptr_t>(handle)); }

struct Winsock {
  Winsock() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~Winsock() { WSACleanup(); }
};

constexpr DWORD kKilledExitCode = 0xDEAD;

void StartWinsock() { static Winsock winsock; }

}  // namespace

LoopbackSocket::LoopbackSocket(bool listening) {
  StartWinsock();
  const SOCKET fd = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (fd == INVALID_SOCKET) return;
  handle_ = static_cast<long long>(fd);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 && (!listening || ::listen(fd, 4) == 0))
    port_ = ntohs(address.sin_port);
}

LoopbackSocket::~LoopbackSocket() {
  if (handle_ != -1) ::closesocket(static_cast<SOCKET>(handle_));
}

LoopbackSocket::Connection LoopbackSocket::Accept(std::chrono::milliseconds limit) {
  WSAPOLLFD ready{static_cast<SOCKET>(handle_), POLLRDNORM, 0};
  if (!ok() || ::WSAPoll(&ready, 1, static_cast<INT>(limit.count())) != 1) return Connection();
  const SOCKET fd = ::accept(static_cast<SOCKET>(handle_), nullptr, nullptr);
  if (fd == INVALID_SOCKET) return Connection();
  const DWORD receiveLimit = static_cast<DWORD>(limit.count());
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&receiveLimit), sizeof receiveLimit);
  return Connection(static_cast<long long>(fd));
}

LoopbackSocket::Connection::~Connection() {
  if (handle_ != -1) ::closesocket(static_cast<SOCKET>(handle_));
}

size_t LoopbackSocket::Connection::Receive(char* buffer, size_t size) {
  const int n = ::recv(static_cast<SOCKET>(handle_), buffer, static_cast<int>(size), 0);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

bool LoopbackSocket::Connection::Send(const std::string& bytes) {
  for (size_t sent = 0; sent < bytes.size();) {
    const int n = ::send(static_cast<SOCKET>(handle_), bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

int ClosedPort() {
  StartWinsock();
  const SOCKET fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  ::closesocket(fd);
  return bound ? ntohs(address.sin_port) : 0;
}

bool MakeFifo(const std::string& /*path*/, std::string* why) {
  *why = "Windows has no FIFOs in its file system";
  return false;
}

std::string DeviceFile() { return "NUL"; }

SmallFileSystem::SmallFileSystem(const std::string& dir, size_t /*bytes*/) : dir_(dir) {
  why_ = "no small file system can be mounted by a test on Windows";
}

SmallFileSystem::~SmallFileSystem() = default;

namespace {
// Through the C runtime, which keeps its own copy that getenv reads, and the
// process's environment, which child processes and Windows calls see.
void SetVariable(const std::string& name, bool set, const std::string& value) {
  const std::wstring wideName = Wide(name), wideValue = Wide(value);
  _wputenv_s(wideName.c_str(), set ? wideValue.c_str() : L"");
  SetEnvironmentVariableW(wideName.c_str(), set ? wideValue.c_str() : nullptr);
}
}  // namespace

ScopedEnvironmentVariable::ScopedEnvironmentVariable(const std::string& name, const std::string& value) : name_(name) {
  const char* previous = std::getenv(name.c_str());
  hadValue_ = previous != nullptr;
  if (hadValue_) previous_ = previous;
  SetVariable(name_, !value.empty(), value);
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable() { SetVariable(name_, hadValue_, previous_); }

std::string UserCacheVariable() { return "LOCALAPPDATA"; }

ScopedSystemRoot::ScopedSystemRoot(const std::string& caPem) {
  BIO* bio = BIO_new_mem_buf(caPem.data(), static_cast<int>(caPem.size()));
  X509* certificate = bio != nullptr ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(bio);
  unsigned char* der = nullptr;
  const int length = certificate != nullptr ? i2d_X509(certificate, &der) : -1;
  X509_free(certificate);
  if (length <= 0) {
    why_ = "the CA certificate does not parse";
    return;
  }
  der_.assign(reinterpret_cast<const char*>(der), static_cast<size_t>(length));
  OPENSSL_free(der);
  // The store writes what was added when it is closed (no context of it may
  // stay open), so other processes see the root.
  HCERTSTORE store = CertOpenSystemStoreW(0, L"ROOT");
  added_ = store != nullptr &&
           CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der_.data()),
                                            static_cast<DWORD>(der_.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  if (!added_) why_ = "cannot add to the ROOT store (error " + std::to_string(GetLastError()) + ")";
  if (store != nullptr) CertCloseStore(store, 0);
}

ScopedSystemRoot::~ScopedSystemRoot() {
  if (!added_) return;
  // The user's own root store, where the addition went.
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
  PCCERT_CONTEXT wanted = CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der_.data()),
                                                       static_cast<DWORD>(der_.size()));
  if (store != nullptr && wanted != nullptr) {
    // Deleting frees the found context.
    if (PCCERT_CONTEXT found =
            CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, nullptr)) {
      CertDeleteCertificateFromStore(found);
    }
  }
  if (wanted != nullptr) CertFreeCertificateContext(wanted);
  if (store != nullptr) CertCloseStore(store, 0);
}

std::string ThisProgram() {
  wchar_t path[MAX_PATH * 4] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, sizeof path / sizeof path[0]);
  return std::filesystem::path(std::wstring(path, length)).u8string();
}

std::string ExitStatus::Describe() const {
  if (killed) return "killed";
  return exited ? "exit code " + std::to_string(code) : "ended abnormally";
}

ChildProcess::~ChildProcess() {
  if (handle_ != 0) {
    Kill();
    Wait();
  }
  if (output_ != 0) CloseHandle(AsHandle(output_));
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                         const std::string& stderrFile, const std::vector<std::string>& environment) {
  if (handle_ != 0) return false;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return false;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE input =
      CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
  HANDLE errors = CreateFileW(stderrFile.empty() ? L"NUL" : Wide(stderrFile).c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              stderrFile.empty() ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  std::wstring line;
  AppendQuoted(Wide(program), &line);
  for (const std::string& argument : args) AppendQuoted(Wide(argument), &line);
  // This process's environment block, then the additions, then the end.
  std::wstring block;
  if (wchar_t* own = GetEnvironmentStringsW(); own != nullptr) {
    for (const wchar_t* entry = own; *entry != L'\0'; entry += wcslen(entry) + 1) block.append(entry).push_back(L'\0');
    FreeEnvironmentStringsW(own);
  }
  for (const std::string& entry : environment) block.append(Wide(entry)).push_back(L'\0');
  block.push_back(L'\0');

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = writeEnd;
  startup.hStdError = errors;
  PROCESS_INFORMATION process{};
  const BOOL started =
      CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT,
                     &block[0], nullptr, &startup, &process);
  CloseHandle(writeEnd);
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  if (errors != INVALID_HANDLE_VALUE) CloseHandle(errors);
  if (!started) {
    CloseHandle(readEnd);
    return false;
  }
  CloseHandle(process.hThread);
  handle_ = FromHandle(process.hProcess);
  output_ = FromHandle(readEnd);
  processId_ = process.dwProcessId;
  killed_ = false;
  return true;
}

bool ChildProcess::ReadSome(std::string* out) {
  if (output_ == 0) return false;
  char buffer[4096];
  DWORD n = 0;
  if (!ReadFile(AsHandle(output_), buffer, sizeof buffer, &n, nullptr) || n == 0) return false;
  // Text mode: a C runtime writes each line feed as CR LF.
  const size_t from = out->empty() ? 0 : out->size() - 1;
  out->append(buffer, n);
  for (size_t at = out->find("\r\n", from); at != std::string::npos; at = out->find("\r\n", at)) out->erase(at, 1);
  return true;
}

bool ChildProcess::ReadUntil(const std::string& text, std::string* out) {
  while (out->find(text) == std::string::npos) {
    if (!ReadSome(out)) return false;
  }
  return true;
}

bool ChildProcess::ReadExactly(size_t count, std::string* out) {
  std::string read;
  while (read.size() < count) {
    char byte;
    DWORD n = 0;
    if (!ReadFile(AsHandle(output_), &byte, 1, &n, nullptr) || n == 0) break;
    read.push_back(byte);
  }
  out->append(read);
  return read.size() == count;
}

std::string ChildProcess::ReadAll() {
  std::string out;
  while (ReadSome(&out)) {
  }
  return out;
}

// Ctrl+Break reaches a child only on the caller's console, which a test run
// by ctest (or under wine) may lack; the project's programs also stop when
// the event "Local\iotcloud-stop-<process id>" is set.
void ChildProcess::Interrupt() {
  if (handle_ == 0) return;
  GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, processId_);
  const std::wstring name = L"Local\\iotcloud-stop-" + std::to_wstring(processId_);
  if (HANDLE stop = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()); stop != nullptr) {
    SetEvent(stop);
    CloseHandle(stop);
  }
}

void ChildProcess::Kill() {
  if (handle_ == 0) return;
  TerminateProcess(AsHandle(handle_), kKilledExitCode);
  killed_ = true;
}

ExitStatus ChildProcess::Wait() {
  ExitStatus status;
  if (handle_ == 0) return status;
  WaitForSingleObject(AsHandle(handle_), INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(AsHandle(handle_), &code);
  CloseHandle(AsHandle(handle_));
  handle_ = 0;
  status.killed = killed_ && code == kKilledExitCode;
  status.exited = !status.killed;
  status.code = static_cast<int>(code);
  return status;
}

ExitStatus RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& stderrFile,
                      std::string* output) {
  ChildProcess child;
  if (!child.Start(program, args, stderrFile)) return ExitStatus();
  const std::string printed = child.ReadAll();
  if (output != nullptr) *output = printed;
  return child.Wait();
}

namespace {
// Bytes of the ANSI code page, which the C runtime gives a narrow main.
std::wstring FromCodePage(const std::string& text) {
  std::wstring wide(text.size(), L'\0');
  const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                                    static_cast<int>(wide.size()));
  wide.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return wide;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos; ++at) text.erase(at, 1);
  return text;
}

// The name of an environment entry, compared as Windows does: ignoring case.
bool NameIs(const std::wstring& entry, const std::wstring& name) {
  return entry.size() > name.size() && entry[name.size()] == L'=' &&
         CompareStringOrdinal(entry.c_str(), static_cast<int>(name.size()), name.c_str(), static_cast<int>(name.size()),
                              TRUE) == CSTR_EQUAL;
}
}  // namespace

ShellRun RunInShell(const std::string& program, const std::vector<std::string>& args,
                    const std::vector<std::string>& unset, const std::vector<std::string>& environment,
                    const std::string& outFile, const std::string& errFile) {
  // The program's name is left in a quoted stretch, where cmd.exe takes its
  // spaces and separators literally; "/" would read as a switch.
  std::wstring path = FromCodePage(program);
  for (wchar_t& c : path) c = c == L'/' ? L'\\' : c;
  std::wstring line = L"/d /s /c \"\"" + path + L"\"";
  for (const std::string& argument : args) {
    std::wstring quoted;
    AppendQuoted(FromCodePage(argument), &quoted);
    line.push_back(L' ');
    for (const wchar_t c : quoted) {
      if (std::wcschr(L"\"&|<>^%!()", c) != nullptr) line.push_back(L'^');
      line.push_back(c);
    }
  }
  line += L" <NUL >\"" + Wide(outFile) + L"\" 2>\"" + Wide(errFile) + L"\"\"";

  // This process's environment without `unset` and what `environment`
  // replaces, then `environment`.
  std::vector<std::wstring> dropped, added;
  for (const std::string& name : unset) dropped.push_back(FromCodePage(name));
  for (const std::string& entry : environment) {
    added.push_back(FromCodePage(entry));
    dropped.push_back(added.back().substr(0, added.back().find(L'=')));
  }
  std::wstring block;
  if (wchar_t* own = GetEnvironmentStringsW(); own != nullptr) {
    for (const wchar_t* entry = own; *entry != L'\0'; entry += wcslen(entry) + 1) {
      bool keep = true;
      for (const std::wstring& name : dropped) keep = keep && !NameIs(entry, name);
      if (keep) block.append(entry).push_back(L'\0');
    }
    FreeEnvironmentStringsW(own);
  }
  for (const std::wstring& entry : added) block.append(entry).push_back(L'\0');
  block.push_back(L'\0');

  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring cmd = std::wstring(system) + L"\\cmd.exe";
  std::wstring commandLine = L"cmd.exe " + line;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ShellRun run;
  if (!CreateProcessW(cmd.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT, &block[0],
                      nullptr, &startup, &process)) {
    return run;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  if (GetExitCodeProcess(process.hProcess, &code)) run.exitCode = static_cast<int>(code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  run.out = ReadText(outFile);
  run.err = ReadText(errFile);
  return run;
}

std::string WhyShellCannotPass(const std::string& argument) {
  return argument.find_first_of("\r\n") == std::string::npos
             ? ""
             : "cmd.exe ends a command at a line break, so no argument it passes can hold CR or LF";
}

std::string WhyNoPosixTools() { return "bash and groff are not Windows programs"; }

ReadOnlyFolder::ReadOnlyFolder(const std::string& dir) : dir_(dir) {
  why_ =
      "Windows has no read-only folder for its owner: the read-only attribute of a folder does not stop "
      "writing in it";
}

ReadOnlyFolder::~ReadOnlyFolder() = default;

bool ReadOnlyFolder::Seal() { return false; }

long AddressSpaceKiB() {
  // Every region that is not free: what a thread's stack reserves counts.
  unsigned long long total = 0;
  MEMORY_BASIC_INFORMATION region{};
  for (const char* address = nullptr; VirtualQuery(address, &region, sizeof region) == sizeof region;
       address = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
    if (region.State != MEM_FREE) total += region.RegionSize;
    if (region.RegionSize == 0) break;
  }
  return static_cast<long>(total / 1024);
}

}  // namespace iotcloud_test
