// Keeps the last inputs in files that outlive the process. libFuzzer saves the input that is running when a crash
// comes, and an empty file when the crash comes from a library's thread after the call that started it returned:
// these files still hold the inputs run just before. Every target is linked with
// -Wl,--wrap=LLVMFuzzerTestOneInput, so each input passes through here; it is kept only when IXO_FUZZ_RECENT names
// a folder (scripts/fuzz sets it). Each file is a 32-byte text header "<sequence> <length>" and the input.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int __real_LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

constexpr int kSlots = 16;
constexpr size_t kHeader = 32;

struct Slot {
  int fd = -1;
  uint8_t* map = nullptr;
  size_t capacity = 0;  // bytes of input the mapping holds after its header
};

struct Recent {
  bool on = false;
  uint64_t sequence = 0;
  Slot slots[kSlots];
};

Recent& recent() {
  static Recent r = [] {
    Recent made;
    const char* folder = std::getenv("IXO_FUZZ_RECENT");
    if (!folder || !*folder) return made;
    for (int i = 0; i < kSlots; ++i) {
      const std::string path = std::string(folder) + "/slot-" + std::to_string(i);
      made.slots[i].fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (made.slots[i].fd < 0) {
        std::fprintf(stderr, "IXO_FUZZ_RECENT: cannot open %s\n", path.c_str());
        std::abort();
      }
    }
    made.on = true;
    return made;
  }();
  return r;
}

// Grows a slot's file and mapping in steps, so that the common input costs one copy and no system call.
bool fit(Slot& s, size_t size) {
  if (s.map && size <= s.capacity) return true;
  size_t capacity = s.capacity ? s.capacity : size_t{64} << 10;
  while (capacity < size) capacity *= 2;
  if (s.map) munmap(s.map, kHeader + s.capacity);
  s.map = nullptr;
  s.capacity = 0;
  if (ftruncate(s.fd, static_cast<off_t>(kHeader + capacity)) != 0) return false;
  void* m = mmap(nullptr, kHeader + capacity, PROT_READ | PROT_WRITE, MAP_SHARED, s.fd, 0);
  if (m == MAP_FAILED) return false;
  s.map = static_cast<uint8_t*>(m);
  s.capacity = capacity;
  return true;
}

void keep(const uint8_t* data, size_t size) {
  Recent& r = recent();
  if (!r.on) return;
  const uint64_t n = ++r.sequence;
  Slot& s = r.slots[n % kSlots];
  if (!fit(s, size)) return;
  char header[kHeader + 1];
  std::snprintf(header, sizeof header, "%-20llu %-10zu", static_cast<unsigned long long>(n), size);
  header[kHeader - 1] = '\n';
  if (size) std::memcpy(s.map + kHeader, data, size);
  std::memcpy(s.map, header, kHeader);
}

}  // namespace

extern "C" int __wrap_LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  keep(data, size);
  return __real_LLVMFuzzerTestOneInput(data, size);
}
