#include "library/object_numbers.h"

std::atomic<int32_t> g_nextMyIndex{0};
