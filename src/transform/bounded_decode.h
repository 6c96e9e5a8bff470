// The Lepton and preflate decoders run in a child process of their own, bounded in memory and time
// (platform/fork_server.h): a hostile container that makes its library exhaust memory, crash or run on costs
// that one file, never the run, and nothing the library starts outlives the call.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "transform/bridge_call.h"

namespace ixo::transform {

struct DecodeBound {
  uint64_t memory_bytes;  // whole MiB
  uint32_t cpu_seconds;
  uint32_t wall_seconds;
};

// The bound of one decode, from the larger of the container's length and the file's size.
DecodeBound preflate_bound(uint64_t stored_len, uint64_t size);
DecodeBound jpeg_bound(uint64_t stored_len, uint64_t size);

// What decoder gives for stored, at most size bytes, or InvalidData "{prefix}{reason}": the library's text, or
// what ended its process ("out of memory (limit 640 MiB)", "cannot start a decoder thread", "decoder stopped by
// signal 11", ...). A panic that the bridge caught throws DecoderCrash, as it does in process.
Result<Bytes> run_bounded(BridgeFn decoder, std::span<const uint8_t> stored, uint64_t size, std::string_view prefix,
                          const DecodeBound& bound);

}  // namespace ixo::transform
