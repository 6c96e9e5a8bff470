// The cost of the recovery search: hostile tails of fake footers, stretches hashed once, failures remembered
// along a chain, and a read error that ends the search.
#include <gtest/gtest.h>
#include <random>

#include "archive/recovery.h"
#include "open_helpers.h"

namespace ixo::test {
namespace {

constexpr uint64_t MiB = 1 << 20;

// The file of an archive, open for reading, with its path removed at once.
struct SavedFile {
  platform::File file;
  uint64_t len = 0;
};
SavedFile save_and_open(const Bytes& bytes) {
  const auto path = temp_archive_path();
  EXPECT_TRUE(write_file(path, bytes));
  auto file = platform::File::open_read(path);
  std::filesystem::remove(path);
  EXPECT_TRUE(file.has_value());
  return {std::move(*file), bytes.size()};
}

struct Searched {
  std::optional<uint64_t> end;  // of the state found
  pack::RecoveryWork work;
};
Searched search(const Bytes& bytes, uint16_t version = 7) {
  SavedFile f = save_and_open(bytes);
  Searched s;
  auto found = pack::find_earlier_footer(f.file, f.len, version, &s.work);
  if (found) s.end = found->end;
  return s;
}

void append_footer(ArchiveBuilder& b, uint64_t index_offset, uint64_t stored_len, uint64_t raw_len,
                   std::array<uint8_t, 16> digest) {
  b.append(encode_footer({index_offset, stored_len, raw_len, digest, Magic{'I', 'X', 'O', '7'}}));
}

std::array<uint8_t, 16> digest_prefix(std::span<const uint8_t> data) {
  const Digest d = digest_of(data);
  std::array<uint8_t, 16> p{};
  std::copy_n(d.begin(), 16, p.begin());
  return p;
}

// Bytes in which `starts` zstd frames begin, 9 bytes apart, and all end at the same place after a chain of
// raw blocks of chain_len bytes in all: each frame is whole by its headers, declares no decoded length, and
// is a stretch of its own, so that only hashing it tells that it is no index.
struct Frames {
  Bytes bytes;
  std::vector<uint64_t> starts;  // offsets into bytes
};
Frames converging_frames(size_t starts, size_t chain_len) {
  constexpr uint64_t BLOCK = 128 << 10;
  const auto block_header = [](Bytes& b, uint64_t at, uint64_t size, bool last) {
    const uint32_t h = (last ? 1u : 0u) | uint32_t(size) << 3;  // type 0: raw
    b[at] = uint8_t(h);
    b[at + 1] = uint8_t(h >> 8);
    b[at + 2] = uint8_t(h >> 16);
  };
  Frames f;
  const uint64_t chain = 9 * starts;
  f.bytes.assign(chain + chain_len, 0);
  for (size_t k = 0; k < starts; ++k) {
    const uint64_t at = 9 * k;
    const uint8_t header[6] = {0x28, 0xB5, 0x2F, 0xFD, 0x00, 0x50};
    std::copy(std::begin(header), std::end(header), f.bytes.begin() + static_cast<ptrdiff_t>(at));
    block_header(f.bytes, at + 6, chain - (at + 9), false);  // its first block reaches the chain
    f.starts.push_back(at);
  }
  for (uint64_t at = chain; at < f.bytes.size();) {
    const uint64_t size = std::min<uint64_t>(BLOCK, f.bytes.size() - at - 3);
    block_header(f.bytes, at, size, at + 3 + size == f.bytes.size());
    at += 3 + size;
  }
  return f;
}

// State 0 holds one stored block at offset 8 with the frames; the fake footers point into it.
struct BigState {
  ArchiveBuilder b;
  std::vector<uint64_t> starts;  // file offsets of the frames
  uint64_t frames_end = 0;       // where every one of them ends
};
BigState big_first_state(size_t starts, size_t chain_len) {
  BigState s;
  const Frames f = converging_frames(starts, chain_len);
  s.b.add_block(f.bytes, Codec::Store);
  for (const uint64_t at : f.starts) s.starts.push_back(8 + at);
  s.frames_end = 8 + f.bytes.size();
  s.b.add_file("a", "first state");
  s.b.snapshot(1);
  s.b.commit();
  return s;
}

constexpr size_t FAKE_FOOTERS = 10'000;

TEST(RecoveryBound, FakeFootersOverOneStretchHashItOnce) {
  BigState s = big_first_state(1, 8 * MiB);
  const uint64_t end0 = s.b.state(0).end;
  const uint64_t stretch = s.frames_end - s.starts[0];
  std::mt19937 gen(7);
  for (size_t k = 0; k < FAKE_FOOTERS; ++k) {
    std::array<uint8_t, 16> digest{};
    for (auto& x : digest) x = static_cast<uint8_t>(gen());
    append_footer(s.b, s.starts[0], stretch, 100 + k, digest);
  }
  const Searched r = search(s.b.bytes());
  ASSERT_EQ(r.end, end0);
  EXPECT_EQ(r.work.hashed, stretch + s.b.state(0).stored_len) << "the fake stretch once, then the real index";
}

TEST(RecoveryBound, FakeFootersOverManyStretchesStopAtTheWorkBound) {
  BigState s = big_first_state(FAKE_FOOTERS, 8 * MiB);
  for (const uint64_t at : s.starts) append_footer(s.b, at, s.frames_end - at, 100, {});
  const uint64_t bound = pack::recovery_work_bound(s.b.bytes().size());
  const Searched r = search(s.b.bytes());
  EXPECT_EQ(r.end, std::nullopt) << "a search past its bound ends as if it had found nothing";
  EXPECT_LE(r.work.spent, bound);
  EXPECT_GT(r.work.hashed, bound / 2) << "up to the bound, the stretches are really read";
}

TEST(RecoveryBound, CheapTestsComeBeforeAnyLongRead) {
  BigState s = big_first_state(10, 8 * MiB);
  ArchiveBuilder& b = s.b;
  const uint64_t end0 = b.state(0).end;
  const StateLayout s0 = b.state(0);
  const std::array<uint8_t, 16> real = digest_prefix(std::span(b.bytes()).subspan(s0.index_offset, s0.stored_len));
  for (size_t k = 0; k < FAKE_FOOTERS; ++k) {
    const uint64_t at = s.starts[k % s.starts.size()];
    switch (k % 5) {
      case 0:  // a stretch that starts with no frame
        append_footer(b, s.frames_end - MiB + k, MiB / 2, 100, {});
        break;
      case 1:  // a frame whose blocks end elsewhere than the stretch
        append_footer(b, at, s.frames_end - at - 1 - k, 100, {});
        break;
      case 2:  // the real index with a decoded length that its frame header contradicts
        append_footer(b, s0.index_offset, s0.stored_len, s0.raw_len + 1 + k, real);
        break;
      case 3:  // a stretch beyond the footer's own place
        append_footer(b, b.bytes().size(), 10, 100, {});
        break;
      default:  // a magic that a version-7 header does not admit
        b.append(encode_footer({8, 10, 100, {}, Magic{'I', 'X', 'O', '6'}}));
    }
  }
  const Searched r = search(b.bytes());
  ASSERT_EQ(r.end, end0);
  EXPECT_EQ(r.work.hashed, s0.stored_len) << "only the real index is hashed";
  EXPECT_EQ(r.work.walks, 1u) << "no fake footer gets as far as a walk";
}

// States 0 to 5, each chained to the one before; state 2's segment is damaged. The walk from state 4 fails at
// state 2 and that failure is remembered for states 4, 3 and 2, so each segment is hashed once in all.
TEST(RecoveryBound, AFailureIsRememberedForEverySegmentItReaches) {
  ArchiveBuilder b;
  b.add_file("a", "first state");
  b.snapshot(1);
  b.commit();
  for (const char* path : {"b", "c", "d", "e", "f"}) {
    b.add_file(path, std::string("update ") + path);
    const uint32_t prev = static_cast<uint32_t>(b.snapshot_list(b.snapshot_count() - 1).size());
    b.snapshot_edits(2, {EditSpec::copy(0, prev), EditSpec::add(b.take_pending())});
    b.commit({.form = IndexForm::Chained});
  }
  b.flip(b.state(2).index_offset + b.state(2).stored_len - 1);
  uint64_t all_segments = 0;
  for (size_t i = 0; i < 5; ++i) all_segments += b.state(i).stored_len;
  const Searched s = search(b.bytes());
  ASSERT_EQ(s.end, b.state(1).end);
  EXPECT_EQ(s.work.hashed, all_segments);
  EXPECT_EQ(s.work.walks, 2u);
}

// The search reads the file in windows; when one cannot be read (here the file has become shorter than the
// length the search was given), the search ends there, even though an earlier state would read completely.
TEST(RecoveryBound, AReadErrorInAWindowEndsTheSearch) {
  ArchiveBuilder b;
  b.add_file("a", "first state");
  b.snapshot(1);
  b.commit();
  const uint64_t end0 = b.state(0).end;
  b.append(Bytes(3 * MiB, 0));
  SavedFile whole = save_and_open(b.bytes());
  ASSERT_EQ(pack::find_earlier_footer(whole.file, whole.len, 7).value().end, end0);
  SavedFile shorter = save_and_open(Bytes(b.bytes().begin(), b.bytes().end() - 10));
  EXPECT_EQ(pack::find_earlier_footer(shorter.file, whole.len, 7), std::nullopt);
}

}  // namespace
}  // namespace ixo::test
