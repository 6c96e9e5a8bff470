#include "transform/registry.h"

#include "transform/slots.h"

namespace ixo::transform {

namespace {
constexpr uint64_t MiB = 1 << 20;
}

const std::array<TransformSpec, 3> REGISTRY{{
    {"jpeg", "lepton_jpeg 0.5.3 container (decode_lepton, max 4096x4096)", 64 * MiB, 64 * MiB, is_jpeg, encode_jpeg,
     jpeg_worth_keeping, decode_jpeg, 4, TRANSFORM_JPEG, false, false},
    {"preflate", "preflate-rs 0.7.1 whole-file container (recreate_whole_from_container)", 64 * MiB, 512 * MiB,
     may_contain_deflate, encode_preflate, preflate_worth_keeping, decode_preflate, 2, TRANSFORM_PREFLATE, true, false},
    {"bcj-x86", "xz/liblzma simple/x86 BCJ, start offset 0, whole file", 64 * MiB, 64 * MiB, is_x86_executable,
     encode_bcj_x86, bcj_x86_worth_keeping, decode_bcj_x86, 6, TRANSFORM_BCJ_X86, false, true},
}};

const TransformSpec* find(uint8_t id) {
  for (const auto& row : REGISTRY)
    if (row.id == id) return &row;
  return nullptr;
}

}  // namespace ixo::transform
