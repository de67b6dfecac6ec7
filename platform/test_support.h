// Moved to platform/testing/test_support.h; kept until every folder includes it there.
#pragma once

#include "platform/testing/test_support.h"
