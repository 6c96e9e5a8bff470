// Chunk digests checked by the decoding workers, each right after it decodes a block, so that the consuming
// thread does not hash the plain chunks it is served. A worker's check is the consumer's own: the same bytes
// and the same comparison by format version. A read that no worker checked is checked by the consumer.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "archive/archive.h"
#include "pipeline/read_plan.h"

namespace ixo::pack {

class DigestChecks {
 public:
  enum class Verdict : uint8_t { Unchecked, Passed, Failed };

  // The plain (recipe 0) chunk reads of plan, the plan of the regular files of files, grouped by the decode
  // position whose block serves them (the block decoded there, or a copy held from it).
  DigestChecks(const Archive& archive, Selection files, const ReadPlan& plan);
  DigestChecks(const DigestChecks&) = delete;
  DigestChecks& operator=(const DigestChecks&) = delete;

  // On the worker that decoded position's block, before it hands the block over. Each position is checked by
  // one worker only, and its reads are its own: workers never write the same verdict.
  void check(uint64_t position, std::span<const uint8_t> block);
  // On the consumer, once the block of the position that serves read has been received.
  Verdict verdict(uint64_t read) const { return read < verdicts_.size() ? verdicts_[read] : Verdict::Unchecked; }

 private:
  struct Check {
    uint64_t read;
    uint32_t chunk;
  };

  const Archive& archive_;
  std::vector<Check> checks_;     // by position, each position's sorted by chunk so a repeated chunk is hashed once
  std::vector<uint64_t> starts_;  // position -> its first check; one more entry for the end
  std::vector<Verdict> verdicts_;  // by read
};

}  // namespace ixo::pack
