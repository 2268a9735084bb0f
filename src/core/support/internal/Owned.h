// The one way this code owns a handle of a C library: a std::unique_ptr whose
// deleter calls that library's release function.
//
//   iotcloud::Owned<CURL, curl_easy_cleanup> easy(curl_easy_init());
//   iotcloud::Owned<EVP_PKEY, EVP_PKEY_free> key(PEM_read_bio_PUBKEY(...));
//
// Release functions ignore null, as all of the ones used here do, and their
// results (if any) are of no use at that point.
#pragma once

#include <memory>

namespace iotcloud {

template <auto Release>
struct ReleaseWith {
  template <typename T>
  void operator()(T* handle) const {
    Release(handle);
  }
};

template <typename T, auto Release>
using Owned = std::unique_ptr<T, ReleaseWith<Release>>;

}  // namespace iotcloud
