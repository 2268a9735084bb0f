// Loads the plugin, runs it, unloads it and checks that libiotcloud has left
// the process; then does it all again, which also proves the library starts
// afresh in a process that had it loaded before.
//   loader PLUGIN
#include <dlfcn.h>
#include <link.h>

#include <cstdio>
#include <cstring>

namespace {

// Whether a library whose file name holds "libiotcloud.so" is mapped.
bool LibraryLoaded() {
  bool found = false;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        if (info->dlpi_name != nullptr && std::strstr(info->dlpi_name, "libiotcloud.so") != nullptr) {
          *static_cast<bool*>(data) = true;
        }
        return 0;
      },
      &found);
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: loader PLUGIN\n");
    return 2;
  }
  for (int round = 1; round <= 2; ++round) {
    void* plugin = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (plugin == nullptr) {
      std::fprintf(stderr, "round %d: dlopen: %s\n", round, dlerror());
      return 1;
    }
    auto run = reinterpret_cast<int (*)()>(dlsym(plugin, "iotcloud_plugin_run"));
    if (run == nullptr || !LibraryLoaded()) {
      std::fprintf(stderr, "round %d: the plugin has no entry point or did not load libiotcloud\n", round);
      return 1;
    }
    if (run() != 0) {
      std::fprintf(stderr, "round %d: the plugin's lookup did not end as expected\n", round);
      return 1;
    }
    if (dlclose(plugin) != 0) {
      std::fprintf(stderr, "round %d: dlclose: %s\n", round, dlerror());
      return 1;
    }
    if (LibraryLoaded()) {
      std::fprintf(stderr, "round %d: libiotcloud is still loaded after dlclose of the plugin\n", round);
      return 1;
    }
  }
  std::printf("loader: loaded, used and unloaded twice\n");
  return 0;
}
