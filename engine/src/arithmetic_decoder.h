// Binary arithmetic decoding of a modelled payload.
#pragma once

#include <cstddef>
#include <cstdint>

#include "model.h"

namespace ixo::cm {

// Decodes n bytes into dst with the model's predictions. Never fails: reads past the end of
// the payload give zero bytes, so a short or damaged payload only yields wrong output.
void decode_modelled(Model& model, const uint8_t* payload, size_t payload_len, uint8_t* dst, size_t n);

}  // namespace ixo::cm
