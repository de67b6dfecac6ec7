// The fixed skeleton of virtual containers above the user's files. These rows have fixed
// object numbers that every other subsystem uses as constants.
#pragma once

#include "library/container_numbers.h"

// Writes the root and the 27 containers and leaves the object-number counter at 29.
// Rows that already exist are left as they are.
void FST_BuildTree();
