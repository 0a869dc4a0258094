# The local measurement service, tested as the program it is: the process
# tests start the real binary on a free loopback port and talk HTTP to it.
ferrolux_test(tools_service_tests
  ${CMAKE_CURRENT_LIST_DIR}/service_units_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/service_process_test.cc)
target_link_libraries(tools_service_tests PRIVATE ferrolux_service_core)
target_compile_definitions(tools_service_tests PRIVATE
  FERROLUX_SERVICE_BINARY="$<TARGET_FILE:ferrolux-service>")
add_dependencies(tools_service_tests ferrolux-service)

# Headless Chromium renders the page; slow to start, so it has its own
# binary (each page load may take up to 90 s within the test's 300 s).
ferrolux_test(tools_service_chromium_tests ${CMAKE_CURRENT_LIST_DIR}/service_chromium_test.cc)
target_compile_definitions(tools_service_chromium_tests PRIVATE
  FERROLUX_SERVICE_BINARY="$<TARGET_FILE:ferrolux-service>")
add_dependencies(tools_service_chromium_tests ferrolux-service)
