// The crash of a transform decoder: its library panicked (caught inside the bridge). Decode slots throw it and
// the file rebuild catches it around the call, so the file fails on its own and the run goes on.
#pragma once

#include <exception>

namespace ixo::transform {

struct DecoderCrash : std::exception {
  const char* what() const noexcept override { return "transform decoder crashed"; }
};

}  // namespace ixo::transform
