// Which per-bit code a model runs: the plain code, or the AVX2 code where the processor has it.
// Both compute exactly the same integers.
#pragma once

namespace ixo::cm {

// The processor runs AVX2 (checked once per process).
bool cpu_has_avx2();

// True when models built from now on take the AVX2 code.
bool vector_path_enabled();

// Test hook: while on, models built from then on run the plain code, so the tests cover both
// versions on a processor that has AVX2. The program itself never calls it.
void testing_force_scalar(bool on);

}  // namespace ixo::cm
