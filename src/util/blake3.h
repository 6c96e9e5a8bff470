// BLAKE3 through the bridge: one-shot and incremental, single-threaded.
#pragma once

#include <ixo_bridge.h>

#include <array>
#include <cstdint>
#include <span>

namespace ixo::blake3 {

using Digest = std::array<uint8_t, 32>;

inline Digest hash(std::span<const uint8_t> data) {
  Digest d{};
  ixo_blake3_hash(data.data(), data.size(), d.data());
  return d;
}

class Hasher {
 public:
  Hasher() : h_(ixo_blake3_new()) {}
  ~Hasher() { ixo_blake3_free(h_); }
  Hasher(const Hasher&) = delete;
  Hasher& operator=(const Hasher&) = delete;

  // False only when the hasher could not be made.
  bool ok() const { return h_ != nullptr; }
  void update(std::span<const uint8_t> data) { ixo_blake3_update(h_, data.data(), data.size()); }
  Digest finalize() const {
    Digest d{};
    ixo_blake3_finalize(h_, d.data());
    return d;
  }
  void reset() { ixo_blake3_reset(h_); }

 private:
  IxoBlake3* h_;
};

// The digest of empty input, which directories and links carry.
inline const Digest& empty_digest() {
  static const Digest d = hash({});
  return d;
}

}  // namespace ixo::blake3
