#include "archive/read_index.h"

#include <optional>
#include <vector>

#include "codec/codec.h"
#include "format/index_parser.h"
#include "format/try.h"
#include "archive/segment.h"

namespace ixo::pack {

namespace {

struct Collected {
  Segment segment;
  std::optional<format::ChainLink> link;
};

// Blocks added by a segment must lie inside its own data region: after its base state, before its index.
Status check_new_blocks(const std::vector<format::BlockInfo>& blocks, size_t first, uint64_t region_start,
                        uint64_t region_end) {
  for (size_t i = first; i < blocks.size(); ++i) {
    const format::BlockInfo& b = blocks[i];
    if (b.position > UINT64_MAX - b.stored_len) return fail(codec::invalid("bad block position"));
    if (b.position < region_start || b.position + b.stored_len > region_end)
      return fail(codec::invalid("block lies outside the archive data"));
  }
  return {};
}

}  // namespace

Result<format::Index> read_index_at(const platform::File& file, uint64_t end, uint16_t header_version) {
  // Newest first, down to the full index.
  std::vector<Collected> chain;
  for (;;) {
    IXO_TRY(segment, read_segment(file, end, header_version));
    IXO_TRY(link, format::chain_link(segment->view()));
    if (!*link) {
      chain.push_back({std::move(*segment), std::nullopt});
      break;
    }
    if (segment->offset < (*link)->base_end || chain.size() >= MAX_CHAINED_SEGMENTS)
      return fail(codec::invalid("bad index chain"));
    end = (*link)->base_end;
    chain.push_back({std::move(*segment), *link});
  }

  // Oldest first, each segment on top of the tables built so far.
  format::Index index;
  uint32_t depth = 0;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    uint64_t region_start = HEADER_BYTES;
    if (it->link) {
      if (it->link->depth != depth + 1) return fail(codec::invalid("bad index chain"));
      region_start = it->link->base_end;
      depth = it->link->depth;
    }
    const size_t first_new = it->link ? index.blocks.size() : 0;
    IXO_TRY(parsed, format::parse_index(it->segment.view(), std::move(index)));
    index = std::move(*parsed);
    IXO_CHECK(check_new_blocks(index.blocks, first_new, region_start, it->segment.offset));
    it->segment.data = {};
    it->segment.data.shrink_to_fit();
  }
  if (index.snapshots.empty()) return fail(codec::invalid("archive has no snapshots"));
  return index;
}

}  // namespace ixo::pack
