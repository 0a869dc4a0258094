ferrolux_test(config_settings_tests
  ${CMAKE_CURRENT_LIST_DIR}/settings_user_defaults_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/settings_files_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/settings_persisted_config_test.cc)
