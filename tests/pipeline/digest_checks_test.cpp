// Chunk digests checked on the decoding workers: each decode position checks exactly the plain reads that its
// block serves, and a run ends on a damaged chunk with the same error at the same read whoever checked it.
#include <gtest/gtest.h>

#include "fixture.h"
#include "pipeline/chunk.h"
#include "pipeline/digest_checks.h"
#include "pipeline/pipeline.h"
#include "util/blake3.h"

namespace ixo::pack {
namespace {

using Verdict = DigestChecks::Verdict;

format::Digest digest_of(std::span<const uint8_t> bytes) {
  const blake3::Digest h = blake3::hash(bytes);
  format::Digest d{};
  std::copy(h.begin(), h.end(), d.begin());
  return d;
}

TEST(DigestChecks, EachPositionChecksThePlainReadsItsBlockServes) {
  fixture::ArchiveBuilder b;
  const uint32_t a = b.block(fixture::pattern(64, 1));
  const uint32_t c = b.block(fixture::pattern(64, 2));
  const uint32_t a0 = b.chunk(a, 0, 16);
  format::Digest wrong = digest_of(b.raw(a));
  const uint32_t a1 = b.chunk_with_digest(a, 16, 16, wrong);
  const uint32_t c0 = b.chunk(c, 0, 32);
  const uint32_t planes = b.chunk(c, 32, 8, 2, 0, fixture::pattern(8, 3));  // a layout: checked where it is rebuilt
  const uint32_t beyond = b.chunk_with_digest(c, 60, 16, wrong);            // the feed's error comes first
  fixture::TempDir dir;
  const Archive archive = b.build(dir.path());
  fixture::Files files;
  files.regular({a0, c0, a1}).regular({a0, planes, beyond});
  // With no budget every block is decoded again at each of its steps.
  const ReadPlan plan = plan_reads(read_list(archive.chunks, files.list), 0);
  ASSERT_EQ(plan.decode_order, (std::vector<uint64_t>{a, c, a, c}));

  DigestChecks checks(archive, files.list, plan);
  for (uint64_t r = 0; r < plan.reads.size(); ++r) EXPECT_EQ(checks.verdict(r), Verdict::Unchecked) << r;
  checks.check(2, b.raw(a));  // the second decode of a serves reads 2 (a1) and 3 (a0)
  EXPECT_EQ(checks.verdict(0), Verdict::Unchecked);
  EXPECT_EQ(checks.verdict(2), Verdict::Failed);
  EXPECT_EQ(checks.verdict(3), Verdict::Passed);
  checks.check(0, b.raw(a));
  checks.check(1, b.raw(c));
  checks.check(3, b.raw(c));
  const Verdict want[] = {Verdict::Passed, Verdict::Passed, Verdict::Failed, Verdict::Passed, Verdict::Unchecked,
                          Verdict::Unchecked};
  for (uint64_t r = 0; r < plan.reads.size(); ++r) EXPECT_EQ(checks.verdict(r), want[r]) << r;
  EXPECT_EQ(checks.verdict(plan.reads.size()), Verdict::Unchecked);
}

// Every chunk of the list rebuilt in turn: how many passed, and the error that stopped the run.
struct Outcome {
  uint64_t passed = 0;
  std::string error;
  friend bool operator==(const Outcome&, const Outcome&) = default;
};
Outcome rebuild_each(const Archive& archive, const std::vector<uint32_t>& chunks, uint64_t threads) {
  fixture::Files files;
  files.regular(chunks);
  Outcome out;
  const Status s = with_feed(archive, files.list, threads, [&](BlockFeed& feed) -> Status {
    for (const uint32_t c : chunks) {
      auto bytes = chunk(archive, feed, c);
      if (!bytes) return fail(bytes.error());
      ++out.passed;
    }
    return {};
  });
  if (!s) out.error = s.error().to_string();
  return out;
}

TEST(DigestChecks, AnyWorkerCountEndsOnTheSameChunkWithTheSameError) {
  enum Kind { Right, Wrong, Zero, FirstHalf };
  const struct {
    uint16_t version;
    Kind kind;
    bool passes;
  } cases[] = {
      {7, Right, true}, {7, Wrong, false}, {7, Zero, false},     {5, FirstHalf, false},
      {4, Zero, true},  {4, Wrong, false}, {4, FirstHalf, true}, {2, Zero, true},
  };
  for (const auto& t : cases) {
    fixture::ArchiveBuilder b;
    std::vector<uint32_t> chunks;
    for (uint32_t i = 0; i < 6; ++i) {
      const uint32_t blk = b.block(fixture::text_like(4096, i), i % 2 == 0 ? 1 : 0);
      chunks.push_back(b.chunk(blk, 0, 2048));
      // The chunk under test is the fourth, in the second half of a block whose first half passes.
      if (i == 1) {
        format::Digest d = digest_of(b.chunk_bytes(b.chunk(blk, 2048, 2048)));
        if (t.kind == Wrong) d[0] ^= 1;  // within the 16 bytes that every version compares
        if (t.kind == Zero) d = {};
        if (t.kind == FirstHalf) std::fill(d.begin() + 16, d.end(), 0xAA);
        chunks.push_back(b.chunk_with_digest(blk, 2048, 2048, d));
      }
      chunks.push_back(b.chunk(blk, 1024, 2048));
    }
    fixture::TempDir dir;
    const Archive archive = b.build(dir.path(), t.version);
    const Outcome want = t.passes ? Outcome{chunks.size(), ""} : Outcome{3, "chunk checksum mismatch"};
    for (const uint64_t threads : {1, 2, 3, 8}) {
      EXPECT_EQ(rebuild_each(archive, chunks, threads), want)
          << "version " << t.version << " kind " << t.kind << " -j" << threads;
    }
  }
}

}  // namespace
}  // namespace ixo::pack
