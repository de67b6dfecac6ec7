# The whole-resource download helpers on the UPnP library's HTTP client.
include_guard(GLOBAL)
pkg_check_modules(LIBUPNP REQUIRED IMPORTED_TARGET libupnp)

orvex_add_library(orvex_http_fetch
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/http_fetch.cpp
    ${CMAKE_CURRENT_LIST_DIR}/http_fetch_url.cpp
    ${CMAKE_CURRENT_LIST_DIR}/upnp_http_get.cpp
  LIBS
    orvex_platform
  PRIVATE_LIBS
    PkgConfig::LIBUPNP
)

# A small HTTP server on 127.0.0.1 that answers what a test scripts; used by the tests
# of the helpers and of everything that downloads through them.
if(NOT ORVEX_FUZZ)
  orvex_add_library(orvex_http_fetch_testing
    SOURCES
      ${CMAKE_CURRENT_LIST_DIR}/testing/http_fetch_test_server.cpp
    LIBS
      orvex_platform
  )
endif()

orvex_test(http_fetch_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/http_fetch_test.cpp
  LIBS
    orvex_http_fetch
    orvex_http_fetch_testing
)
