// Archive::open over hostile files must end in an Archive or an error value, never in a crash, a read outside a
// buffer or an unbounded allocation. The first input byte picks how the rest becomes a file:
//   even: the bytes are the file;
//   odd:  the bytes describe states whose segments are framed soundly (zstd frame, digest, footer), so that the
//         chain walk, the block checks and the recovery search are reached. After the header version (u16) each
//         state is: magic digit, flags, u16 gap length and gap bytes, u16 index length and raw index bytes.
//         Flags: 1 points a version-7 chain link at the previous state's end, 2 gives it the next depth,
//         4 damages the footer's digest, 8 leaves the state without its footer (an interrupted update).
#include <sys/mman.h>
#include <unistd.h>
#include <zstd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "util/blake3.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Input {
  const uint8_t* p;
  size_t n;
  bool u8(uint8_t& v) {
    if (n < 1) return false;
    v = *p++;
    --n;
    return true;
  }
  bool u16(uint16_t& v) {
    if (n < 2) return false;
    v = static_cast<uint16_t>(p[0] | (p[1] << 8));
    p += 2;
    n -= 2;
    return true;
  }
  bool take(size_t len, const uint8_t*& out) {
    if (n < len) return false;
    out = p;
    p += len;
    n -= len;
    return true;
  }
};

void put_le(Bytes& out, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void set_le(Bytes& b, size_t at, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

Bytes structured(Input in) {
  Bytes file = {'I', 'X', 'O', '2'};
  uint16_t version = 7;
  in.u16(version);
  put_le(file, version, 2);
  put_le(file, 0, 2);
  uint64_t prev_end = 8;
  uint32_t depth = 0;
  for (int state = 0; state < 8; ++state) {
    uint8_t digit, flags;
    uint16_t gap_len, index_len;
    const uint8_t *gap, *raw;
    if (!in.u8(digit) || !in.u8(flags) || !in.u16(gap_len) || !in.take(gap_len, gap) || !in.u16(index_len) ||
        !in.take(index_len, raw))
      break;
    file.insert(file.end(), gap, gap + gap_len);
    Bytes index(raw, raw + index_len);
    const bool chained = index.size() >= 32 && (index[0] & 4);
    if (chained && (flags & 1)) set_le(index, 8, prev_end, 8);
    if (chained && (flags & 2)) set_le(index, 28, depth + 1, 4);
    depth = chained ? depth + 1 : 0;

    Bytes stored(ZSTD_compressBound(index.size()));
    const size_t len = ZSTD_compress(stored.data(), stored.size(), index.data(), index.size(), 1);
    if (ZSTD_isError(len)) break;
    stored.resize(len);
    const uint64_t index_offset = file.size();
    file.insert(file.end(), stored.begin(), stored.end());
    if (flags & 8) break;
    put_le(file, index_offset, 8);
    put_le(file, stored.size(), 8);
    put_le(file, index.size(), 8);
    auto digest = ixo::blake3::hash(stored);
    if (flags & 4) digest[0] ^= 1;
    file.insert(file.end(), digest.begin(), digest.begin() + 16);
    file.insert(file.end(), {'I', 'X', 'O', static_cast<uint8_t>('0' + digit % 10)});
    prev_end = file.size();
  }
  return file;
}

// One in-memory file for the whole run, reached through its /proc path.
int memory_file() {
  static const int fd = memfd_create("open_fuzz", 0);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const Bytes file = (data[0] & 1) ? structured(Input{data + 1, size - 1}) : Bytes(data + 1, data + size);
  const int fd = memory_file();
  if (fd < 0 || ftruncate(fd, 0) != 0) __builtin_trap();
  if (pwrite(fd, file.data(), file.size(), 0) != static_cast<ssize_t>(file.size())) __builtin_trap();
  auto archive = ixo::pack::Archive::open("/proc/self/fd/" + std::to_string(fd));
  if (archive) {
    for (const auto& c : archive->chunks)
      if (c.block >= archive->blocks.size()) __builtin_trap();
    for (const auto& b : archive->blocks)
      if (b.position + b.stored_len > archive->len) __builtin_trap();
  }
  return 0;
}
