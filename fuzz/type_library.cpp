// The type library reader, as registration calls it: on a file, here one in
// memory (memfd) opened through /proc/self/fd.

#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "app/standins/type_library.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = memfd_create("fuzz.tlb", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (write(fd, data, size) == static_cast<ssize_t>(size)) {
    TypeLibrary library;
    LoadTypeLib("/proc/self/fd/" + std::to_string(fd), library);
  }
  close(fd);
  return 0;
}
