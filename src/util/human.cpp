#include "util/human.h"

#include "util/decimal.h"
#include "util/text.h"

namespace ixo::pack {

std::string human(uint64_t bytes) {
  if (bytes < 1024) return cat(bytes, " B");
  // The conversion rounds to the nearest double; dividing by 1024 is then exact, so v is the exact quotient
  // rounded once. The unit tests compare v itself: 1048575 bytes stay "1024.0 KB".
  double v = static_cast<double>(bytes) / 1024;
  const char* unit = "KB";
  if (v >= 1024) {
    v /= 1024;
    unit = "MB";
  }
  if (v >= 1024) {
    v /= 1024;
    unit = "GB";
  }
  return cat(one_decimal(v), ' ', unit);
}

}  // namespace ixo::pack
