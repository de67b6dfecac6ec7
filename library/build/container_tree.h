// The object numbers of the fixed skeleton of virtual containers above the user's files,
// which every other subsystem uses as constants (FST_BuildTree writes the skeleton).
#pragma once

#include "library/container_numbers.h"
