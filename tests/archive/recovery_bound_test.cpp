// The cost of the recovery search: hostile tails of fake footers, stretches hashed once, failures remembered
// along a chain, and a read error that ends the search.
#include <gtest/gtest.h>
#include <random>

#include "archive/recovery.h"
#include "open_helpers.h"

namespace ixo::test {
namespace {

constexpr uint64_t MiB = 1 << 20;

// A zstd frame header that declares no decoded length, so that only the whole stretch can tell.
const Bytes OPEN_FRAME_HEAD = {0x28, 0xB5, 0x2F, 0xFD, 0x00, 0x50};

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

// State 0 holds one stored block of big_len bytes at offset 8: the stretch the fake footers point into. Its
// content is the open frame head repeated, so that a stretch starting at any multiple of 6 looks like a frame.
ArchiveBuilder big_first_state(size_t big_len) {
  ArchiveBuilder b;
  Bytes big;
  while (big.size() + OPEN_FRAME_HEAD.size() <= big_len) big.insert(big.end(), OPEN_FRAME_HEAD.begin(), OPEN_FRAME_HEAD.end());
  b.add_block(big, Codec::Store);
  b.add_file("a", "first state");
  b.snapshot(1);
  b.commit();
  return b;
}

constexpr size_t FAKE_FOOTERS = 10'000;

TEST(RecoveryBound, FakeFootersOverOneStretchHashItOnce) {
  ArchiveBuilder b = big_first_state(8 * MiB);
  const uint64_t end0 = b.state(0).end;
  const uint64_t stretch = b.block(0).stored_len;
  std::mt19937 gen(7);
  for (size_t k = 0; k < FAKE_FOOTERS; ++k) {
    std::array<uint8_t, 16> digest{};
    for (auto& x : digest) x = static_cast<uint8_t>(gen());
    append_footer(b, 8, stretch, 100 + k, digest);
  }
  const Searched s = search(b.bytes());
  ASSERT_EQ(s.end, end0);
  EXPECT_EQ(s.work.hashed, stretch + b.state(0).stored_len) << "the fake stretch once, then the real index";
}

TEST(RecoveryBound, FakeFootersOverManyStretchesStopAtTheWorkBound) {
  ArchiveBuilder b = big_first_state(8 * MiB);
  const uint64_t stretch = b.block(0).stored_len;
  for (size_t k = 0; k < FAKE_FOOTERS; ++k) append_footer(b, 8 + 6 * k, stretch - 6 * k, 100, {});
  const uint64_t bound = pack::recovery_work_bound(b.bytes().size());
  const Searched s = search(b.bytes());
  EXPECT_EQ(s.end, std::nullopt) << "a search past its bound ends as if it had found nothing";
  EXPECT_LE(s.work.spent, bound);
  EXPECT_LE(s.work.hashed, bound);
  EXPECT_GT(s.work.hashed, bound / 2) << "up to the bound, the stretches are really read";
}

TEST(RecoveryBound, CheapTestsComeBeforeAnyLongRead) {
  ArchiveBuilder b = big_first_state(8 * MiB);
  const uint64_t end0 = b.state(0).end;
  const StateLayout s0 = b.state(0);
  const std::array<uint8_t, 16> real = digest_prefix(std::span(b.bytes()).subspan(s0.index_offset, s0.stored_len));
  std::mt19937 gen(9);
  for (size_t k = 0; k < FAKE_FOOTERS; ++k) {
    switch (k % 4) {
      case 0:  // a stretch that starts with no frame
        append_footer(b, 8 + 6 * (k + 1) - 1, MiB, 100, {});
        break;
      case 1:  // the real index with a raw length that its frame header contradicts
        append_footer(b, s0.index_offset, s0.stored_len, s0.raw_len + 1 + k, real);
        break;
      case 2:  // a stretch beyond the footer's own place
        append_footer(b, b.bytes().size(), 10, 100, {});
        break;
      default:  // a magic that a version-7 header does not admit
        b.append(encode_footer({8, 10, 100, {}, Magic{'I', 'X', 'O', '6'}}));
    }
  }
  const Searched s = search(b.bytes());
  ASSERT_EQ(s.end, end0);
  EXPECT_EQ(s.work.hashed, s0.stored_len) << "only the real index is hashed";
  EXPECT_EQ(s.work.walks, 1u) << "no fake footer gets as far as a walk";
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
