#include "core/api/smart/framework/IotCacheManager.h"

#include <utility>

#include "core/support/PlatformServices.h"
#include "core/support/TovoLog.h"

iotcloud::Mutex IotCacheManager::mutex_;
std::atomic<IotCacheManager*> IotCacheManager::pInstance_{nullptr};

IotCacheManager* IotCacheManager::getInstance() {
  // Once created, the instance is read without the lock: mutex_ also
  // serialises every cache access, and lookups on many threads ask for the
  // instance (for the environment) while the HTTP manager thread reads or
  // writes the cache.
  IotCacheManager* instance = pInstance_.load(std::memory_order_acquire);
  if (instance != nullptr) return instance;
  iotcloud::MutexLock lock(&mutex_);
  instance = pInstance_.load(std::memory_order_relaxed);
  if (instance == nullptr) {
    instance = new IotCacheManager();
    pInstance_.store(instance, std::memory_order_release);
  }
  return instance;
}

IotCacheManager::IotCacheManager() { QZ_LOG(1, "new"); }

IotCacheManager::~IotCacheManager() { QZ_LOG(1, "deleted."); }

bool IotCacheManager::writeToPlatformCache(const std::string& key, std::string value) {
  iotcloud::MutexLock lock(&mutex_);
  // The platform object is fetched afresh for each call: the host may swap it.
  std::string storedText = getSharedPlatformImpl()->encodeCacheValue(std::move(value));
  const bool written = getSharedPlatformImpl()->writeCache(key, storedText);
  if (!written) QZ_LOG(4, "writeToPlatformCache key=%s failed.", key.c_str());
  return written;
}

std::string IotCacheManager::readFormPlatformCache(std::string key) {
  iotcloud::MutexLock lock(&mutex_);
  std::string storedText = getSharedPlatformImpl()->readCache(std::move(key));
  return getSharedPlatformImpl()->decodeCacheValue(storedText);
}

void IotCacheManager::setSmartInitConfig(IotSmartInitConfig config) {
  iotcloud::MutexLock lock(&configMutex_);
  config_ = std::move(config);
}

int32_t IotCacheManager::getEnv() {
  iotcloud::MutexLock lock(&configMutex_);
  return config_.env;
}

std::string IotCacheManager::getAppKey() {
  iotcloud::MutexLock lock(&configMutex_);
  return config_.appKey;
}
