# The string and message toolkit of the device stack.
orvex_add_library(orvex_upnp_parsers
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/base64.cpp
    ${CMAKE_CURRENT_LIST_DIR}/escape.cpp
    ${CMAKE_CURRENT_LIST_DIR}/http_packet.cpp
    ${CMAKE_CURRENT_LIST_DIR}/number.cpp
    ${CMAKE_CURRENT_LIST_DIR}/text_split.cpp
    ${CMAKE_CURRENT_LIST_DIR}/xml.cpp
  LIBS orvex_platform
)

orvex_test(upnp_parsers_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/escape_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/http_packet_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/number_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/xml_test.cpp
  LIBS orvex_upnp_parsers
)

set(_orvex_parser_fuzzers http_header xml_pair url_unescape xml_unescape)
foreach(_harness IN LISTS _orvex_parser_fuzzers)
  orvex_fuzzer(upnp_fuzz_${_harness}
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz/${_harness}_fuzz.cpp
    LIBS orvex_upnp_parsers
    CORPUS fuzz/corpus/${_harness}
  )
endforeach()
