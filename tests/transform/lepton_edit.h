// Taking a real Lepton container apart to make hostile ones: its inflated header as sections, put back together.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "sample_files.h"

namespace ixo::test {

struct LeptonSection {
  std::string tag;  // three bytes ("HH" and its count byte for handoffs)
  Bytes body;       // the bytes after the tag
};

struct LeptonParts {
  Bytes fixed;                          // the 24 bytes before the compressed header's length
  std::vector<LeptonSection> sections;  // "HDR" first
  Bytes rest;                           // everything after the compressed header
};

LeptonParts split_lepton(const Bytes& container);
Bytes join_lepton(const LeptonParts& parts);

}  // namespace ixo::test
