#include <algorithm>
#include <new>

#include "codec/codec.h"
#include "pipeline/chunk.h"
#include "restore/publish.h"
#include "restore/outgoing_files.h"
#include "restore/rebuild_run.h"
#include "platform/faults.h"
#include "transform/quiet.h"
#include "util/blake3.h"
#include "util/text.h"

namespace ixo::pack {

namespace {

constexpr uint64_t FIRST_RESERVE_CAP = 1ull << 30;

// A per-file failure: its line is printed and counted, and the run goes on.
struct FileFailure {
  Error error;
};
using Rebuilt = std::expected<std::vector<uint8_t>, FileFailure>;

// Assembles the stored form of a transformed file and turns it back. Fatal errors (a chunk that cannot be had)
// are the outer error; the file's own failure is the inner one. Every chunk is read whatever the outcome, as
// the read plan expects, but no more bytes are held than the row allows.
Result<Rebuilt> untransform(RebuildRun& run, BlockFeed& feed, const format::FileEntry& e) {
  const transform::TransformSpec* row = run.options.find_transform(e.transform);
  const uint64_t hold_limit = row ? row->max_stored_len : 0;
  std::vector<uint8_t> stored;
  uint64_t stored_len = 0;
  try {
    stored.reserve(static_cast<size_t>(std::min({e.stored_len, FIRST_RESERVE_CAP, hold_limit})));
    for (uint32_t index : e.chunks) {
      Result<ChunkBytes> bytes = chunk(run.archive, feed, index);
      if (!bytes) return fail(bytes.error());
      stored_len += bytes->size();
      if (stored_len <= hold_limit) stored.insert(stored.end(), bytes->bytes().begin(), bytes->bytes().end());
    }
  } catch (const std::bad_alloc&) {
    return fail(Error::bare(ErrorKind::OutOfMemory));
  }

  auto failure = [](Error e) { return Rebuilt(std::unexpect, FileFailure{std::move(e)}); };
  if (row == nullptr) return failure(codec::invalid("unknown file transform"));
  if (stored_len > row->max_stored_len || e.size > row->max_size || (stored_len > e.size && !row->may_expand) ||
      (stored_len != e.size && row->length_preserving))
    return failure(codec::invalid("transform exceeds limits"));

  bool crashed = false;
  Result<transform::Bytes> decoded = fail(Error::bare(ErrorKind::Other));
  try {
    const transform::QuietScope quiet;
    decoded = row->decode(stored, e.size);
  } catch (...) {
    crashed = true;  // whatever it carries is dropped
  }
  stored = {};
  if (crashed) return failure(codec::invalid(cat(row->name, " decoder crashed while rebuilding a file")));
  if (!decoded) return failure(std::move(decoded.error()));
  if (decoded->size() != e.size) return failure(codec::invalid(cat(row->name, " reconstruction length mismatch")));
  return Rebuilt(std::move(*decoded));
}

// An untransformed file that is exactly one plain chunk, at a version whose chunk digests are checked in all 32
// bytes: the chunk's bytes are the file's bytes.
bool one_verified_chunk(const Archive& archive, const format::FileEntry& e) {
  return e.transform == 0 && format::full_chunk_digests(archive.version) && e.chunks.size() == 1 &&
         archive.chunks[e.chunks[0]].recipe == 0;
}

}  // namespace

Status rebuild_regular(RebuildRun& run, BlockFeed& feed, const format::FileEntry& e) {
  std::optional<platform::StagingFile> staging;
  std::optional<Place> place;
  run.made_in_hand.clear();
  if (!run.testing()) {
    if (run.outgoing->must_settle(e.path)) {
      if (Status ok = run.outgoing->drain(); !ok) return ok;
    }
    (void)platform::faults::injected(platform::faults::Call::Place);
    Result<Place> placed = run.tree->place_file(e.path);
    if (!placed) return fail(placed.error());
    run.made_in_hand = placed->made;
    place.emplace(std::move(*placed));
  }
  // The staging file of a file handled here; the files being made elsewhere are made first, as they use the
  // same staging state.
  auto create = [&]() -> Status {
    if (Status ok = run.outgoing->settle(); !ok) return ok;
    Result<platform::StagingFile> made = create_staging(place->parent, run.staging);
    if (!made) return fail(made.error());
    staging.emplace(std::move(*made));
    return {};
  };

  uint64_t length = 0;
  std::optional<blake3::Digest> digest;
  auto write = [&](std::span<const uint8_t> bytes) -> Status {
    length += bytes.size();
    return staging ? staging->write(bytes) : Status{};
  };
  auto ended = [&](FileOutcome outcome) {
    // The staging file goes now; the line waits for the files before it.
    staging.reset();
    return run.outgoing->add_ended(e, std::move(outcome), place ? std::move(place->made) : std::vector<std::string>{});
  };

  if (one_verified_chunk(run.archive, e)) {
    // The chunk's digest, checked in full over exactly these bytes, is the digest of the whole file: the verdict
    // is known before anything is written, so a file that passes goes out in one piece, without a copy, or, when
    // small, is made on the maker's thread.
    const bool may_make = place && run.outgoing->can_make(e.size);
    if (place && !may_make) {
      if (Status ok = create(); !ok) return ok;
    }
    Result<ChunkBytes> bytes = chunk(run.archive, feed, e.chunks[0]);
    digest = run.archive.chunks[e.chunks[0]].digest;
    if (bytes && may_make && bytes->size() == e.size && *digest == e.digest) {
      if (Result<std::optional<platform::FileTime>> time = entry_time(e)) {
        FileMaker::Job job{.folder = place->parent, .bytes = {}, .time = *time, .mode = entry_mode(e)};
        try {
          job.bytes.assign(bytes->bytes().begin(), bytes->bytes().end());
        } catch (const std::bad_alloc&) {
          return fail(Error::bare(ErrorKind::OutOfMemory));
        }
        return run.outgoing->make(e, std::move(*place), std::move(job));
      }
    }
    // Otherwise the staging file comes first, as its errors would have.
    if (may_make) {
      if (Status ok = create(); !ok) return ok;
    }
    if (!bytes) return fail(bytes.error());
    const bool passes = bytes->size() == e.size && *digest == e.digest;
    length += bytes->size();
    if (staging) {
      Status ok = passes ? staging->write_through(bytes->bytes()) : staging->write(bytes->bytes());
      if (!ok) return ok;
    }
  } else {
    if (place) {
      run.outgoing->in_hand();
      if (Status ok = create(); !ok) return ok;
    }
    blake3::Hasher hasher;
    if (!hasher.ok()) return fail(Error::bare(ErrorKind::OutOfMemory));
    auto take = [&](std::span<const uint8_t> bytes) -> Status {
      hasher.update(bytes);
      return write(bytes);
    };
    if (e.transform == 0) {
      for (uint32_t index : e.chunks) {
        Result<ChunkBytes> bytes = chunk(run.archive, feed, index);
        if (!bytes) return fail(bytes.error());
        if (Status ok = take(bytes->bytes()); !ok) return ok;
      }
    } else {
      Result<Rebuilt> rebuilt = untransform(run, feed, e);
      if (!rebuilt) return fail(rebuilt.error());
      if (!*rebuilt) return ended(Failed{std::move(rebuilt->error().error)});
      if (Status ok = take(**rebuilt); !ok) return ok;
    }
    digest = hasher.finalize();
  }

  if (length != e.size || *digest != e.digest) return ended(Mismatch{});
  if (!staging) return ended(Verified{});
  if (Status ok = finish_before_flush(*staging, e); !ok) return ok;
  return run.outgoing->add(e, std::move(*staging), std::move(*place));
}

}  // namespace ixo::pack
