# The runtime of the device stack: the event chain and timers, asynchronous sockets, the
# HTTP receive state machine, the embedded web server and the web client.
orvex_add_library(orvex_upnp
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/async_server_socket.cpp
    ${CMAKE_CURRENT_LIST_DIR}/async_socket.cpp
    ${CMAKE_CURRENT_LIST_DIR}/chain.cpp
    ${CMAKE_CURRENT_LIST_DIR}/http_reader.cpp
    ${CMAKE_CURRENT_LIST_DIR}/socket_util.cpp
    ${CMAKE_CURRENT_LIST_DIR}/timer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/web_client.cpp
    ${CMAKE_CURRENT_LIST_DIR}/web_server.cpp
  LIBS orvex_upnp_parsers orvex_platform
)

orvex_test(upnp_runtime_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/async_socket_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/chain_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/http_reader_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/web_client_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/web_server_test.cpp
  LIBS orvex_upnp
)

orvex_fuzzer(upnp_fuzz_http_reader
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz/http_reader_fuzz.cpp
  LIBS orvex_upnp
  CORPUS fuzz/corpus/http_reader
)
