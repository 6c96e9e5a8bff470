#include <lzma.h>

#include <algorithm>
#include <new>

#include "codec/codec.h"
#include "pipeline/block_decode.h"
#include "pipeline/lzma2_block.h"

namespace ixo::pack {
namespace {

Error lzma_error(lzma_ret ret) {
  switch (ret) {
    case LZMA_DATA_ERROR: return codec::invalid("lzma data error");
    case LZMA_FORMAT_ERROR: return codec::invalid("stream/file format not recognized");
    case LZMA_OPTIONS_ERROR: return Error::message(ErrorKind::InvalidInput, "invalid options");
    case LZMA_MEM_ERROR: return Error::message(ErrorKind::Other, "can't allocate memory");
    case LZMA_MEMLIMIT_ERROR: return Error::message(ErrorKind::Other, "memory limit exceeded");
    case LZMA_NO_CHECK: return Error::message(ErrorKind::InvalidInput, "no integrity check was available");
    case LZMA_UNSUPPORTED_CHECK:
      return Error::message(ErrorKind::Other, "liblzma does not support this check type");
    default: return Error::message(ErrorKind::Other, "liblzma internal error");
  }
}

bool is_error(lzma_ret ret) { return ret != LZMA_OK && ret != LZMA_STREAM_END && ret != LZMA_BUF_ERROR; }

struct Decoder {
  lzma_stream strm = LZMA_STREAM_INIT;
  ~Decoder() { lzma_end(&strm); }
};

Status decode_into(std::span<const uint8_t> stored, uint64_t raw_len, std::vector<uint8_t>& out,
                   const lzma_allocator* allocator) {
  Decoder d;
  d.strm.allocator = allocator;
  if (const lzma_ret ret = lzma_stream_decoder(&d.strm, UINT64_MAX, 0); ret != LZMA_OK) return fail(lzma_error(ret));

  // Never hold more than raw_len + 1 bytes, whatever the stream produces.
  const uint64_t limit = raw_len == UINT64_MAX ? raw_len : raw_len + 1;
  const uint64_t scaled = stored.size() > UINT64_MAX / 32 ? UINT64_MAX : uint64_t(stored.size()) * 32;
  const uint64_t first = std::min(std::max<uint64_t>(scaled, 1 << 20), raw_len);

  // The bytes out already holds are room to write over; it grows only when the stream needs more.
  uint64_t produced_all = 0;
  size_t taken = 0;
  try {
    while (produced_all < limit) {
      if (produced_all == out.size()) {
        const uint64_t grown = std::max<uint64_t>({first, out.size() * 2, 1 << 16});
        out.resize(std::min(grown, limit));
      }
      const size_t room = std::min<uint64_t>(out.size(), limit) - produced_all;
      // One piece: repeat the call while it neither produces output nor meets the end of the input.
      size_t produced = 0;
      for (;;) {
        const bool all_taken = taken == stored.size();
        d.strm.next_in = stored.data() + taken;
        d.strm.avail_in = stored.size() - taken;
        d.strm.next_out = out.data() + produced_all;
        d.strm.avail_out = room;
        const lzma_ret ret = lzma_code(&d.strm, all_taken ? LZMA_FINISH : LZMA_RUN);
        const size_t consumed = stored.size() - taken - d.strm.avail_in;
        produced = room - d.strm.avail_out;
        taken += consumed;
        if (is_error(ret)) {
          out.resize(produced_all + produced);
          return fail(lzma_error(ret));
        }
        if (produced > 0 || all_taken) {
          if (produced == 0 && ret != LZMA_STREAM_END) {
            out.resize(produced_all);
            return fail(Error::message(ErrorKind::UnexpectedEof, "premature eof"));
          }
          break;
        }
        // The stream has ended (or is stuck) with stored bytes left over: a block holds exactly one stream.
        if (consumed == 0) {
          out.resize(produced_all);
          return fail(codec::invalid("corrupt xz stream"));
        }
      }
      produced_all += produced;
      if (produced == 0) break;
    }
  } catch (const std::bad_alloc&) {
    out.resize(produced_all);
    return fail(Error::bare(ErrorKind::OutOfMemory));
  }
  out.resize(produced_all);
  return {};
}

}  // namespace

Status decode_lzma2_into(std::span<const uint8_t> stored, uint64_t raw_len, std::vector<uint8_t>& out) {
  return decode_into(stored, raw_len, out, nullptr);
}

Result<std::vector<uint8_t>> decode_lzma2(std::span<const uint8_t> stored, uint64_t raw_len,
                                          const lzma_allocator* allocator) {
  std::vector<uint8_t> out;
  if (Status ok = decode_into(stored, raw_len, out, allocator); !ok) return fail(ok.error());
  return out;
}

Result<std::vector<uint8_t>> decode_lzma2(std::span<const uint8_t> stored, uint64_t raw_len) {
  return decode_lzma2(stored, raw_len, nullptr);
}

}  // namespace ixo::pack
