#include "archive/read_index.h"

#include <optional>
#include <vector>

#include "codec/codec.h"
#include "format/index_parser.h"
#include "format/try.h"

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

class FileSource final : public SegmentSource {
 public:
  FileSource(const platform::File& file, uint16_t header_version) : file_(file), header_version_(header_version) {}
  Result<Segment> load(uint64_t end) override { return read_segment(file_, end, header_version_); }

 private:
  const platform::File& file_;
  uint16_t header_version_;
};

// Records how far a failure reaches before it is returned.
std::unexpected<Error> failed(Error e, ChainFailure* failure, size_t broken) {
  if (failure) failure->broken = broken;
  return fail(std::move(e));
}

}  // namespace

Result<format::Index> read_index_at(const platform::File& file, uint64_t end, uint16_t header_version) {
  FileSource source(file, header_version);
  return read_index_from(source, end, nullptr);
}

Result<format::Index> read_index_from(SegmentSource& source, uint64_t end, ChainFailure* failure) {
  // Newest first, down to the full index. A segment that fails here fails wherever it stands in a chain, and
  // so does every segment above it.
  std::vector<Collected> chain;
  for (;;) {
    const size_t depth = chain.size();
    auto segment = source.load(end);
    if (!segment) return failed(std::move(segment.error()), failure, depth + 1);
    auto link = format::chain_link(segment->view());
    if (!link) return failed(std::move(link.error()), failure, depth + 1);
    if (!*link) {
      chain.push_back({std::move(*segment), std::nullopt});
      break;
    }
    if (segment->offset < (*link)->base_end) return failed(codec::invalid("bad index chain"), failure, depth + 1);
    // Too long from the top: the same segments under a lower top may still form a chain short enough.
    if (depth >= MAX_CHAINED_SEGMENTS) return failed(codec::invalid("bad index chain"), failure, 1);
    end = (*link)->base_end;
    chain.push_back({std::move(*segment), *link});
  }

  // Oldest first, each segment on top of the tables built so far. What is parsed below a segment is fixed by
  // that segment, so a failure here too fails every chain that holds the failing segment.
  format::Index index;
  uint32_t depth = 0;
  for (size_t i = chain.size(); i-- > 0;) {
    Collected& c = chain[i];
    uint64_t region_start = HEADER_BYTES;
    if (c.link) {
      if (c.link->depth != depth + 1) return failed(codec::invalid("bad index chain"), failure, i + 1);
      region_start = c.link->base_end;
      depth = c.link->depth;
    }
    const size_t first_new = c.link ? index.blocks.size() : 0;
    auto parsed = format::parse_index(c.segment.view(), std::move(index));
    if (!parsed) return failed(std::move(parsed.error()), failure, i + 1);
    index = std::move(*parsed);
    if (auto ok = check_new_blocks(index.blocks, first_new, region_start, c.segment.offset); !ok)
      return failed(std::move(ok.error()), failure, i + 1);
    c.segment.data = {};
    c.segment.data.shrink_to_fit();
  }
  if (index.snapshots.empty()) return failed(codec::invalid("archive has no snapshots"), failure, 0);
  return index;
}

}  // namespace ixo::pack
