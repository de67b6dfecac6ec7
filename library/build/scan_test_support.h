// Moved to library/build/testing/scan_library.h; kept until every folder includes it there.
#pragma once

#include "library/build/testing/scan_library.h"
