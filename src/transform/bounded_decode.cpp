#include "transform/bounded_decode.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "codec/codec.h"
#include "platform/fork_server.h"
#include "platform/shared_memory.h"
#include "transform/decoder_crash.h"
#include "util/text.h"

namespace ixo::transform {

namespace {

constexpr uint64_t MiB = 1 << 20;

// What the child is asked, and how the output region it shares with the parent is laid out: a header, then at
// most size bytes of output, then the library's error text.
struct DecodeArgs {
  BridgeFn decoder;
  uint64_t stored_len;
  uint64_t size;
  bool quiet;
};

struct ResultHeader {
  int32_t rc;
  uint32_t done;  // 1 once the call has returned and everything below is written
  uint64_t out_len;
  uint64_t text_len;
};

constexpr size_t HEADER_BYTES = 64;
constexpr size_t TEXT_BYTES = 64 * 1024;  // a longer text is cut there

// Writes into a fixed span, with LimitedVec's rule: a write lands whole or not at all.
struct SpanSink {
  uint8_t* data;
  uint64_t capacity;
  uint64_t len = 0;

  static bool bounded(void* ctx, const uint8_t* bytes, size_t n) noexcept {
    auto* s = static_cast<SpanSink*>(ctx);
    if (n == 0) return true;
    if (bytes == nullptr || n > s->capacity - s->len) return false;
    std::memcpy(s->data + s->len, bytes, n);
    s->len += n;
    return true;
  }
  static bool cut(void* ctx, const uint8_t* bytes, size_t n) noexcept {
    auto* s = static_cast<SpanSink*>(ctx);
    const size_t take = bytes == nullptr ? 0 : static_cast<size_t>(std::min<uint64_t>(n, s->capacity - s->len));
    if (take != 0) std::memcpy(s->data + s->len, bytes, take);
    s->len += take;
    return true;
  }
};

// In the child: the decode, and nothing else.
int decode_in_child(const int* fds, size_t fd_count, const uint8_t* raw_args, size_t args_len) {
  // A failed allocation of the Rust libraries ends the child as one of C++ does there (the child's own setup), and a
  // thread that they cannot start ends it with a status of its own.
  ixo_exit_on_alloc_failure(platform::CHILD_OUT_OF_MEMORY_STATUS);
  ixo_exit_on_thread_failure(platform::CHILD_NO_THREAD_STATUS);
  DecodeArgs args;
  if (fd_count != 2 || args_len != sizeof args) return 2;
  std::memcpy(&args, raw_args, sizeof args);
  Result<platform::SharedMemory> in = platform::SharedMemory::map(fds[0], args.stored_len, false);
  Result<platform::SharedMemory> out = platform::SharedMemory::map(fds[1], HEADER_BYTES + args.size + TEXT_BYTES, true);
  if (!in || !out) return 3;
  ixo_set_quiet(args.quiet);
  SpanSink bytes{out->data() + HEADER_BYTES, args.size};
  SpanSink text{out->data() + HEADER_BYTES + args.size, TEXT_BYTES};
  const int32_t rc = args.decoder(in->data(), args.stored_len, SpanSink::bounded, &bytes, SpanSink::cut, &text);
  auto* header = reinterpret_cast<ResultHeader*>(out->data());
  header->rc = rc;
  header->out_len = bytes.len;
  header->text_len = text.len;
  // Last, so that a child ended by one of its library's threads just after this leaves a whole answer or none.
  __atomic_store_n(&header->done, 1u, __ATOMIC_RELEASE);
  return rc == IXO_TRANSFORM_OK ? 0 : 1;  // after a failure nothing of the library's state is trusted again
}

std::string reason(const platform::ChildEnd& end, const DecodeBound& bound) {
  switch (end.kind) {
    case platform::ChildEndKind::OutOfMemory: return cat("out of memory (limit ", bound.memory_bytes / MiB, " MiB)");
    case platform::ChildEndKind::NoThread: return "cannot start a decoder thread";
    case platform::ChildEndKind::CpuTime:
      return cat("processor time limit exceeded (limit ", bound.cpu_seconds, " s)");
    case platform::ChildEndKind::WallTime: return cat("time limit exceeded (limit ", bound.wall_seconds, " s)");
    case platform::ChildEndKind::Signaled: return cat("decoder stopped by signal ", end.code);
    case platform::ChildEndKind::Exited: break;
  }
  return cat("decoder process ended with status ", end.code);
}

DecodeBound bound_of(uint64_t memory_mib, uint64_t cpu_seconds) {
  // Waiting costs no processor time, so a decoder that hangs is stopped by the clock, far later.
  const uint64_t cpu = std::min<uint64_t>(cpu_seconds, UINT32_MAX / 8 - 60);
  return {memory_mib * MiB, static_cast<uint32_t>(cpu), static_cast<uint32_t>(8 * cpu + 60)};
}

uint64_t larger_mib(uint64_t stored_len, uint64_t size) { return (std::max(stored_len, size) + MiB - 1) / MiB; }

}  // namespace

// Four times the most that the real files of bench/bounded_decode.sh needed: preflate about 4 MiB for a small
// file and 16.4 MiB per MiB of the larger length for a large PNG; Lepton up to 113 MiB for a 4096x4096 image
// whatever its length (its coefficients), plus 8 MiB per MiB of its buffers. Processor time: at most 0.84 s per
// MiB of a tiny JPEG, 0.14 s per MiB of a large one and 0.08 of a preflate file, far under the bound.
DecodeBound preflate_bound(uint64_t stored_len, uint64_t size) {
  const uint64_t mib = larger_mib(stored_len, size);
  return bound_of(16 + 66 * mib, 10 + mib);
}

DecodeBound jpeg_bound(uint64_t stored_len, uint64_t size) {
  const uint64_t mib = larger_mib(stored_len, size);
  return bound_of(464 + 32 * mib, 10 + mib);
}

Result<Bytes> run_bounded(BridgeFn decoder, std::span<const uint8_t> stored, uint64_t size, std::string_view prefix,
                          const DecodeBound& bound) {
  auto failed = [&](std::string_view why) { return fail(codec::invalid(cat(prefix, why))); };
  if (size > SIZE_MAX - HEADER_BYTES - TEXT_BYTES) return failed("transform output exceeds limit");
  Result<platform::SharedMemory> in = platform::SharedMemory::create(stored.size());
  Result<platform::SharedMemory> out = platform::SharedMemory::create(HEADER_BYTES + size + TEXT_BYTES);
  if (!in || !out)
    return failed(cat("cannot share memory with the decoder process: ", (!in ? in : out).error().to_string()));
  if (!stored.empty()) std::memcpy(in->data(), stored.data(), stored.size());

  const DecodeArgs args{decoder, stored.size(), size, ixo_quiet()};
  // The program's standard error, as in process: the quiet flag silences this thread's crash reports alone.
  platform::ChildLimits limits{bound.memory_bytes, bound.cpu_seconds, bound.wall_seconds, true};
  const int fds[] = {in->fd(), out->fd()};
  Result<platform::ChildEnd> end = platform::run_in_child(
      decode_in_child, std::span(reinterpret_cast<const uint8_t*>(&args), sizeof args), fds, limits);
  if (!end) return failed(cat("cannot start the decoder process: ", end.error().to_string()));

  // The call's own answer counts once it was given, whatever its library did after it (a pool thread still
  // running when the child ended).
  const auto* shared = reinterpret_cast<const ResultHeader*>(out->data());
  if (__atomic_load_n(&shared->done, __ATOMIC_ACQUIRE) != 1) return failed(reason(*end, bound));
  ResultHeader header;
  std::memcpy(&header, shared, sizeof header);
  if (header.out_len > size || header.text_len > TEXT_BYTES) return failed("decoder process gave a damaged result");
  switch (header.rc) {
    case IXO_TRANSFORM_OK: {
      try {
        const uint8_t* begin = out->data() + HEADER_BYTES;
        return Bytes(begin, begin + header.out_len);
      } catch (const std::bad_alloc&) {
        return failed(describe(ErrorKind::OutOfMemory));
      }
    }
    case IXO_TRANSFORM_PANIC: throw DecoderCrash();
    default: {
      const char* text = reinterpret_cast<const char*>(out->data() + HEADER_BYTES + size);
      return failed(std::string_view(text, header.text_len));
    }
  }
}

}  // namespace ixo::transform
