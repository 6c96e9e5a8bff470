// The engine's tests run twice: as they are, and with --scalar-path, which makes every model
// take the plain code even where the processor has the vector instructions.
#include <gtest/gtest.h>

#include <cstring>

#include "vector_path.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--scalar-path") == 0) ixo::cm::testing_force_scalar(true);
  return RUN_ALL_TESTS();
}
