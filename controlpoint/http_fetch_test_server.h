// Moved to controlpoint/testing/http_fetch_test_server.h; kept until every folder includes
// it there.
#pragma once

#include "controlpoint/testing/http_fetch_test_server.h"
