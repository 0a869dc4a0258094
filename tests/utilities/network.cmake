# HRNNetwork and Reachability, against real loopback servers.
ferrolux_test(utilities_network_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/network_client_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/network_failure_test.cc)
