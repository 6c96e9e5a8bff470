#include <zstd.h>

#include <algorithm>
#include <limits>
#include <new>

#include "codec/codec.h"

namespace ixo::codec {
namespace {

Error zstd_error(size_t code) { return Error::message(ErrorKind::Other, ZSTD_getErrorName(code)); }

struct DCtx {
  ZSTD_DCtx* ctx = ZSTD_createDCtx();
  ~DCtx() { ZSTD_freeDCtx(ctx); }
  DCtx() = default;
  DCtx(const DCtx&) = delete;
  DCtx& operator=(const DCtx&) = delete;
};

}  // namespace

Status zstd_frame_into(std::span<const uint8_t> data, uint64_t expected, std::vector<uint8_t>& out) {
  DCtx d;
  if (d.ctx == nullptr) return fail(Error::bare(ErrorKind::OutOfMemory));
  if (size_t r = ZSTD_initDStream(d.ctx); ZSTD_isError(r)) return fail(zstd_error(r));
  if (size_t r = ZSTD_DCtx_loadDictionary(d.ctx, nullptr, 0); ZSTD_isError(r)) return fail(zstd_error(r));

  // Never hold more than expected + 1 bytes, whatever the frame announces.
  const uint64_t limit = expected == std::numeric_limits<uint64_t>::max() ? expected : expected + 1;
  const uint64_t scaled = data.size() > std::numeric_limits<uint64_t>::max() / 32
                              ? std::numeric_limits<uint64_t>::max()
                              : uint64_t(data.size()) * 32;
  const uint64_t first = std::min(std::max<uint64_t>(scaled, 1 << 20), expected);

  // The bytes out already holds are room to write over; it grows only when the frame needs more, from a first
  // size that does not trust the frame's own claim.
  uint64_t produced = 0;
  ZSTD_inBuffer in{data.data(), data.size(), 0};
  bool frame_done = false;
  try {
    while (!frame_done && produced < limit) {
      if (produced == out.size()) {
        const uint64_t grown = std::max<uint64_t>({first, out.size() * 2, 1 << 16});
        out.resize(std::min(grown, limit));
      }
      const size_t room = std::min<uint64_t>(out.size(), limit) - produced;
      ZSTD_outBuffer ob{out.data() + produced, room, 0};
      const size_t r = ZSTD_decompressStream(d.ctx, &ob, &in);
      produced += ob.pos;
      if (ZSTD_isError(r)) {
        out.resize(produced);
        return fail(zstd_error(r));
      }
      if (r == 0) {
        frame_done = true;
      } else if (in.pos == in.size && ob.pos < room) {
        // All input consumed and output space left over: the frame was cut short.
        out.resize(produced);
        return fail(Error::message(ErrorKind::UnexpectedEof, "incomplete frame"));
      }
    }
  } catch (const std::bad_alloc&) {
    out.resize(produced);
    return fail(Error::bare(ErrorKind::OutOfMemory));
  }
  out.resize(produced);
  if (produced > expected) return {};
  if (in.pos != in.size) return fail(invalid("unexpected bytes after the zstd frame"));
  return {};
}

Result<std::vector<uint8_t>> zstd_frame(std::span<const uint8_t> data, uint64_t expected) {
  std::vector<uint8_t> out;
  if (Status ok = zstd_frame_into(data, expected, out); !ok) return fail(ok.error());
  return out;
}

}  // namespace ixo::codec
