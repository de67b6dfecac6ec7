// The check of the fuzzing harnesses: a broken promise ends the run at once, and the
// fuzzer keeps the input that broke it. Assertions are compiled out in these builds.
#pragma once

#include <cstdlib>

inline void FuzzCheck(bool condition) {
  if (!condition) std::abort();
}
