// Reading one archive state: its newest segment, the chain below it down to its full index, merged into one Index.
#pragma once

#include <cstdint>

#include "archive/segment.h"
#include "error.h"
#include "format/records.h"
#include "platform/file.h"

namespace ixo::pack {

// Most chained segments over one full index.
inline constexpr size_t MAX_CHAINED_SEGMENTS = 64;

// Where a chain walk takes the segment that ends at end from: the file itself, or the recovery search, which
// remembers what it has read and failed before.
class SegmentSource {
 public:
  virtual Result<Segment> load(uint64_t end) = 0;

 protected:
  ~SegmentSource() = default;
};

// How much of a failed walk fails in every chain: its first `broken` segments, newest first, each make any
// chain that holds them fail the same way. 0 when only the state at the top failed, such as a state without
// snapshots, whose segments may still serve a later state.
struct ChainFailure {
  size_t broken = 0;
};

// The merged index of the state that ends at end.
Result<format::Index> read_index_at(const platform::File& file, uint64_t end, uint16_t header_version);

// The same walk over the segments of source; on failure, failure (when given) says how far it reaches.
Result<format::Index> read_index_from(SegmentSource& source, uint64_t end, ChainFailure* failure);

}  // namespace ixo::pack
