ferrolux_test(platform_dispatch_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/dispatch_queue_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/dispatch_deterministic_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/dispatch_timer_test.cc)
