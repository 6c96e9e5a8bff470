#include "format/features.h"

#include <bit>
#include <string>

#include "codec/codec.h"
#include "format/try.h"
#include "format/versions.h"
#include "util/text.h"

namespace ixo::format {

Error unknown_features(uint64_t unknown) {
  std::string bits;
  for (int b = 0; b < 64; ++b) {
    if ((unknown >> b) & 1) {
      if (!bits.empty()) bits += ", ";
      bits += cat(b);
    }
  }
  const char* plural = std::popcount(unknown) > 1 ? "s" : "";
  return codec::unsupported(
      cat("archive needs format feature", plural, " ", bits, ", which this ixo does not know (made by a newer ixo?)"));
}

Result<uint64_t> read_features(Reader& r, uint16_t version) {
  if (version < FEATURE_FLAGS_VERSION) return uint64_t{0};
  IXO_TRY(flags, r.u64());
  uint64_t unknown = *flags;
  for (const Feature& f : KNOWN_FEATURES) unknown &= ~f.flag;
  if (unknown != 0) return fail(unknown_features(unknown));
  return *flags;
}

}  // namespace ixo::format
