#include "table_memory.h"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define IXO_CM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define IXO_CM_ASAN 1
#endif
#endif

namespace ixo::cm {

#ifdef IXO_CM_ASAN
// Under AddressSanitizer the tables come from the instrumented heap, so that an index
// outside a table is reported instead of landing in a neighbouring mapping.
void* map_zeroed(size_t bytes) {
  if (bytes == 0 || bytes > (SIZE_MAX >> 1)) throw std::bad_alloc();
  void* p = std::calloc(bytes, 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void unmap(void* p, size_t) noexcept { std::free(p); }
#else
void* map_zeroed(size_t bytes) {
  if (bytes == 0 || bytes > (SIZE_MAX >> 1)) throw std::bad_alloc();
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
  if (bytes >= (size_t{2} << 20)) madvise(p, bytes, MADV_HUGEPAGE);
#endif
  return p;
}

void unmap(void* p, size_t bytes) noexcept { munmap(p, bytes); }
#endif

}  // namespace ixo::cm
