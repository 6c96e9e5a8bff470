// Hostile index segments must end in an error value or a sound Index, never in a crash, a read outside a buffer or
// an unbounded allocation. The first input byte picks the segment version (1 to 7, from its low bits) and, with its
// top bit, a split: two bytes give the length of a full index, and the rest is parsed chained on top of it.
#include <cstddef>
#include <cstdint>
#include <span>

#include "format/index_parser.h"
#include "format/snapshot.h"

namespace {

using namespace ixo::format;

// Walks what the parser promises: every snapshot's list, every chunk index of every listed entry in range.
void check(const Index& index) {
  for (size_t n = 0; n < index.snapshots.size(); ++n) {
    for (const FileEntry* e : snapshot_files(index.snapshots, n)) {
      for (uint32_t c : e->chunks)
        if (c >= index.chunks.size()) __builtin_trap();
    }
  }
  for (const ChunkRef& c : index.chunks) {
    if (c.block >= index.blocks.size()) __builtin_trap();
    if (uint64_t{c.offset} + c.length > index.blocks[c.block].raw_len) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t select = data[0];
  const uint16_t version = static_cast<uint16_t>(1 + (select & 0x7F) % 7);
  std::span<const uint8_t> rest(data + 1, size - 1);

  if ((select & 0x80) && rest.size() >= 2) {
    const size_t split = std::min<size_t>(rest.size() - 2, rest[0] | (rest[1] << 8));
    const auto base_bytes = rest.subspan(2, split);
    const auto top_bytes = rest.subspan(2 + split);
    auto base = parse_index(SegmentView{base_bytes, version}, {});
    if (!base) return 0;
    check(*base);
    (void)chain_link(SegmentView{top_bytes, version});
    auto top = parse_index(SegmentView{top_bytes, version}, std::move(*base));
    if (top) check(*top);
    return 0;
  }
  (void)chain_link(SegmentView{rest, version});
  auto index = parse_index(SegmentView{rest, version}, {});
  if (index) check(*index);
  return 0;
}
