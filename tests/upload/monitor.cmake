ferrolux_test(upload_monitor_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/monitor_levels_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/monitor_sampling_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/monitor_switches_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/monitor_reporting_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/monitor_threads_test.cc)
