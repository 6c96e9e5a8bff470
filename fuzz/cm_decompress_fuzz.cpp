// Hostile IXCM streams must end in one of the engine's statuses, never in a crash or a read
// outside a buffer. The first input byte picks what the rest is:
//   even: an IXCM stream for ixo_cm_decompress, with the model level folded to 1 or 2 and a
//         small output buffer, so that each run stays quick;
//   odd:  decoded data fed straight into a model (profile from the byte), which reaches model
//         states such as PNG headers and long matches that random codes rarely decode to.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "ixo_cm.h"
#include "model.h"

namespace {

constexpr size_t kMaxOutput = 4096;

void decode_stream(const uint8_t* data, size_t size) {
  // One spare byte keeps the pointer valid for an empty stream, so -5 never applies here.
  std::vector<uint8_t> src(data, data + size);
  if (src.size() > 6 && src[6] >= 1 && src[6] <= 9) src[6] = static_cast<uint8_t>(1 + (src[6] - 1) % 2);
  src.reserve(src.size() + 1);
  uint64_t declared = 0;
  const int size_rc = ixo_cm_decompressed_size(src.data(), src.size(), &declared);
  if (size_rc != IXO_CM_OK && size_rc != IXO_CM_NOT_A_STREAM) __builtin_trap();
  const size_t cap = size_rc == IXO_CM_OK && declared < kMaxOutput ? static_cast<size_t>(declared) : kMaxOutput;
  std::vector<uint8_t> dst(cap);
  size_t len = SIZE_MAX;
  const int rc = ixo_cm_decompress(src.data(), src.size(), cap ? dst.data() : nullptr, cap, &len);
  if (rc > 0 || rc < -4) __builtin_trap();
  if (rc == IXO_CM_OK && (size_rc != IXO_CM_OK || len != declared)) __builtin_trap();
  if (rc != IXO_CM_OK && len != SIZE_MAX) __builtin_trap();
}

void drive_model(uint8_t selector, const uint8_t* data, size_t size) {
  const int profile = 1 + (selector >> 1) % 3;
  const auto model = std::make_unique<ixo::cm::Model>(1, size, profile);
  for (size_t i = 0; i < size; ++i) {
    for (int b = 7; b >= 0; --b) {
      if (model->pr < 1 || model->pr > 4095) __builtin_trap();
      model->update((data[i] >> b) & 1);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1) {
    drive_model(data[0], data + 1, size - 1);
  } else {
    decode_stream(data + 1, size - 1);
  }
  return 0;
}
