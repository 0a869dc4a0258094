ferrolux_test(config_consent_tests
  ${CMAKE_CURRENT_LIST_DIR}/consent_settings_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/consent_facade_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/consent_startup_test.cc)
