#include "core/api/smart/framework/IotLanguageManager.h"

#include <sstream>
#include <utility>

#include "core/api/smart/framework/IotCacheManager.h"
#include "core/support/PlatformServices.h"
#include "core/support/TovoLog.h"

namespace {

struct SupportedLanguage {
  const char* code;
  const char* tag;
};

// In the order makeLanguageString tries them.
constexpr SupportedLanguage kSupportedLanguages[] = {
    {"zh", "zh-CN"}, {"en", "en-US"}, {"fr", "fr-FR"}, {"de", "de-DE"}, {"ja", "ja-JP"},
    {"ko", "ko-KR"}, {"es", "es-ES"}, {"ru", "ru-RU"}, {"hi", "hi-IN"}, {"it", "it-IT"},
    {"pt", "pt-PT"}, {"nl", "nl-NL"}, {"pl", "pl-PL"},
};
constexpr const char* kFallbackTag = "en-US";

// The pieces that validation and setLanguage use: cut at '-', or at '_' when
// '-' leaves the text whole.
std::vector<std::string> LanguagePieces(const std::string& language) {
  std::vector<std::string> pieces = IotLanguageManager::split(language, '-');
  if (pieces.size() == 1) pieces = IotLanguageManager::split(language, '_');
  return pieces;
}

}  // namespace

iotcloud::Mutex IotLanguageManager::mutex_;
IotLanguageManager* IotLanguageManager::pInstance_ = nullptr;

IotLanguageManager* IotLanguageManager::getInstance() {
  iotcloud::MutexLock lock(&mutex_);
  if (pInstance_ == nullptr) pInstance_ = new IotLanguageManager();
  return pInstance_;
}

IotLanguageManager::IotLanguageManager() { QZ_LOG(1, "new"); }

IotLanguageManager::~IotLanguageManager() { QZ_LOG(1, "deleted."); }

std::vector<std::string> IotLanguageManager::split(const std::string& text, char delimiter) {
  std::vector<std::string> pieces;
  std::istringstream stream(text);
  std::string piece;
  while (std::getline(stream, piece, delimiter)) pieces.push_back(piece);
  return pieces;
}

bool IotLanguageManager::isValidLanguage(std::string language) {
  if (language.empty()) return false;
  return LanguagePieces(language).size() == 2;
}

std::string IotLanguageManager::makeLanguageString(const std::string& systemLanguage) {
  for (const SupportedLanguage& supported : kSupportedLanguages) {
    if (systemLanguage == supported.code) return supported.tag;
  }
  return kFallbackTag;
}

std::string IotLanguageManager::getDefaultSettingLanguage() {
  return makeLanguageString(getSharedPlatformImpl()->getSystemLanguage());
}

void IotLanguageManager::setLanguage(std::string language) {
  if (!isValidLanguage(language)) {
    QZ_LOG(4, "set wrong language=%s, the format is like 'zh-CN' or 'en-US'", language.c_str());
    return;
  }
  const std::vector<std::string> pieces = LanguagePieces(language);
  std::string tag = pieces[0] + "-" + pieces[1];
  iotcloud::MutexLock lock(&languageMutex_);
  language_ = tag;
  // Written under languageMutex_ so that the member and the cache entry never
  // disagree after concurrent calls. The result is not examined: a failure is
  // logged by the cache manager and the member keeps the new tag.
  IotCacheManager::getInstance()->writeToPlatformCache(PLATFORM_LANGUAGE_KEY, std::move(tag));
}

std::string IotLanguageManager::getLanguage() {
  bool usedSystemDefault = false;
  std::string language;
  {
    iotcloud::MutexLock lock(&languageMutex_);
    if (language_.empty()) language_ = IotCacheManager::getInstance()->readFormPlatformCache(PLATFORM_LANGUAGE_KEY);
    if (language_.empty()) {
      usedSystemDefault = true;
      // In memory only: the cache keeps saying "nothing chosen".
      language_ = getDefaultSettingLanguage();
    }
    language = language_;
  }
  // Logged after the lock is released, in the order the steps happened.
  if (usedSystemDefault) QZ_LOG(2, "no language set before, use system default.");
  QZ_LOG(1, "get language=%s", language.c_str());
  return language;
}

void IotLanguageManager::clearLanguage() {
  iotcloud::MutexLock lock(&languageMutex_);
  language_.clear();
  IotCacheManager::getInstance()->writeToPlatformCache(PLATFORM_LANGUAGE_KEY, std::string());
}
