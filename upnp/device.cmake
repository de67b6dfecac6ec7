# The device layer of the stack: SSDP discovery, the descriptions, SOAP control and GENA
# eventing, and the function that runs the device as the service body.
orvex_add_library(orvex_upnp_device
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/description.cpp
    ${CMAKE_CURRENT_LIST_DIR}/device_host.cpp
    ${CMAKE_CURRENT_LIST_DIR}/gena.cpp
    ${CMAKE_CURRENT_LIST_DIR}/lattice.cpp
    ${CMAKE_CURRENT_LIST_DIR}/soap.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ssdp.cpp
  LIBS orvex_upnp
)

orvex_test(upnp_device_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/gena_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/soap_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ssdp_test.cpp
  LIBS orvex_upnp_device
)

# A device with test callbacks, run inside a private network namespace by the tests
# below; never started in the machine's own namespace.
if(NOT ORVEX_FUZZ)
  orvex_add_executable(upnp_device_test_host ${CMAKE_CURRENT_LIST_DIR}/testing/device_test_host.cpp)
  target_link_libraries(upnp_device_test_host PRIVATE orvex_upnp_device)
  orvex_netns_test(upnp_device_netns_ssdp
                   SCRIPT ${CMAKE_CURRENT_LIST_DIR}/testing/netns_test.py
                   ARGS ssdp $<TARGET_FILE:upnp_device_test_host>)
endif()

orvex_fuzzer(upnp_fuzz_msearch
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz/msearch_fuzz.cpp
  LIBS orvex_upnp_device
  CORPUS fuzz/corpus/msearch
)

orvex_fuzzer(upnp_fuzz_soap_arguments
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz/soap_arguments_fuzz.cpp
  LIBS orvex_upnp_device
  CORPUS fuzz/corpus/soap_arguments
)
