ferrolux_test(config_remote_config_tests
  ${CMAKE_CURRENT_LIST_DIR}/remote_config_apply_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/remote_config_events_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/remote_config_lifecycle_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/remote_config_experiments_test.cc
)
