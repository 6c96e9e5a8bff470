#include "pipeline/chunk.h"

#include <algorithm>
#include <new>

#include "codec/codec.h"
#include "pipeline/weights.h"
#include "util/blake3.h"

namespace ixo::pack {
namespace {

Error mismatch() { return codec::invalid("chunk checksum mismatch"); }

Result<ChunkBytes> rebuild(const Archive& archive, BlockFeed& feed, uint32_t index, bool is_base) {
  const format::ChunkRef& c = archive.chunks[index];
  const bool delta = (c.recipe & format::Recipe::DELTA) != 0;
  std::vector<uint8_t> base;
  if (delta) {
    // One level only: the index never makes a delta chunk a base, and a chain here would recurse unbounded.
    if (is_base) return fail(codec::invalid("delta base is itself a delta chunk"));
    auto b = rebuild(archive, feed, c.base, true);
    if (!b) return fail(b.error());
    // The chunk's own read may compact or free the block a borrowed base points into.
    base = std::move(*b).into_owned();
  }
  const uint64_t read = feed.next_read();
  auto raw = feed.get(c.block, c.offset, c.length);
  if (!raw) return fail(raw.error());
  if (c.recipe == 0) {
    // The worker that decoded the block may have checked these very bytes already.
    switch (feed.verdict(read)) {
      case DigestChecks::Verdict::Passed: break;
      case DigestChecks::Verdict::Failed: return fail(mismatch());
      case DigestChecks::Verdict::Unchecked:
        if (Status ok = verify_chunk_digest(archive.version, c, *raw); !ok) return fail(ok.error());
    }
    return ChunkBytes::borrowed(*raw);
  }
  auto d = weights::rebuild(c.recipe & format::Recipe::LAYOUT_MASK, *raw);
  if (!d) return fail(d.error());
  if (delta) {
    const size_t n = std::min(d->size(), base.size());
    for (size_t j = 0; j < n; ++j) (*d)[j] ^= base[j];
  }
  if (Status ok = verify_chunk_digest(archive.version, c, *d); !ok) return fail(ok.error());
  return ChunkBytes::owned(std::move(*d));
}

}  // namespace

std::vector<uint8_t> ChunkBytes::into_owned() && {
  if (auto* v = std::get_if<std::span<const uint8_t>>(&bytes_)) return std::vector<uint8_t>(v->begin(), v->end());
  return std::move(std::get<std::vector<uint8_t>>(bytes_));
}

Result<ChunkBytes> chunk(const Archive& archive, BlockFeed& feed, uint32_t index) {
  try {
    return rebuild(archive, feed, index, false);
  } catch (const std::bad_alloc&) {
    return fail(Error::bare(ErrorKind::OutOfMemory));
  }
}

bool chunk_digest_matches(uint16_t version, const format::ChunkRef& chunk, std::span<const uint8_t> data) {
  const format::Digest& want = chunk.digest;
  size_t compared = format::FULL_CHUNK_DIGEST_BYTES;
  if (!format::full_chunk_digests(version)) {
    // Segments of the versions that store no chunk digests leave them all zero, which stands for none.
    if (std::all_of(want.begin(), want.end(), [](uint8_t b) { return b == 0; })) return true;
    compared = format::SHORT_CHUNK_DIGEST_BYTES;
  }
  const blake3::Digest got = blake3::hash(data);
  return std::equal(got.begin(), got.begin() + compared, want.begin());
}

Status verify_chunk_digest(uint16_t version, const format::ChunkRef& chunk, std::span<const uint8_t> data) {
  if (!chunk_digest_matches(version, chunk, data)) return fail(mismatch());
  return {};
}

}  // namespace ixo::pack
