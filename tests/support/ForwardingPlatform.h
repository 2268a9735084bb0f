// A platform services object that forwards every call to another one, so a
// test double overrides only the calls it is about (a cache that fails on
// demand, a counter of saves) and leaves the rest to a real platform.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "core/support/PlatformServices.h"

namespace iotcloud_test {

class ForwardingPlatform : public PlatformServices {
 public:
  explicit ForwardingPlatform(std::shared_ptr<PlatformServices> target) : target_(std::move(target)) {}

  std::string getSystemLanguage() override { return target_->getSystemLanguage(); }
  std::string getApplicationKey() override { return target_->getApplicationKey(); }
  std::string signString(std::string text, int method) override { return target_->signString(std::move(text), method); }
  bool writeCache(std::string key, std::string storedText) override {
    return target_->writeCache(std::move(key), std::move(storedText));
  }
  std::string readCache(std::string key) override { return target_->readCache(std::move(key)); }
  std::string encodeCacheValue(std::string value) override { return target_->encodeCacheValue(std::move(value)); }
  std::string decodeCacheValue(std::string storedText) override {
    return target_->decodeCacheValue(std::move(storedText));
  }

 private:
  std::shared_ptr<PlatformServices> target_;
};

}  // namespace iotcloud_test
