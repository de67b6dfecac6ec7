include(${CMAKE_CURRENT_LIST_DIR}/http_fetch.cmake)

# The MediaRenderer control point on the UPnP library's client side, and the logic of
# the window's renderer page.
pkg_check_modules(ORVEX_RENDERERS_UPNP REQUIRED IMPORTED_TARGET libupnp)

orvex_add_library(orvex_renderers
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/renderer_control_point.cpp
    ${CMAKE_CURRENT_LIST_DIR}/renderer_description.cpp
    ${CMAKE_CURRENT_LIST_DIR}/renderer_page.cpp
    ${CMAKE_CURRENT_LIST_DIR}/renderer_registry.cpp
    ${CMAKE_CURRENT_LIST_DIR}/renderer_text.cpp
  LIBS orvex_platform orvex_http_fetch
  PRIVATE_LIBS PkgConfig::ORVEX_RENDERERS_UPNP
)

orvex_test(renderers_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/renderer_registry_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/renderer_text_test.cpp
  LIBS orvex_renderers
)

# The control point against real renderers, run inside a private network namespace by
# the driver below; never started in the machine's own namespace.
if(NOT ORVEX_FUZZ)
  orvex_add_executable(renderers_netns_test
    ${CMAKE_CURRENT_LIST_DIR}/testing/renderer_netns_test.cpp)
  target_link_libraries(renderers_netns_test PRIVATE orvex_renderers PkgConfig::ORVEX_RENDERERS_UPNP
                        orvex_platform_testing GTest::gtest
                        GTest::gtest_main)
  orvex_netns_test(renderers_netns SCRIPT ${CMAKE_CURRENT_LIST_DIR}/testing/renderer_netns_test.py
                   TIMEOUT 180 ARGS $<TARGET_FILE:renderers_netns_test>)
endif()

orvex_fuzzer(renderers_fuzz_input
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz/renderer_input_fuzzer.cpp
  LIBS orvex_renderers
  CORPUS fuzz/renderer_input_corpus
)
