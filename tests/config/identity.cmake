ferrolux_test(config_identity_tests
  ${CMAKE_CURRENT_LIST_DIR}/identity_keychain_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/identity_support_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/identity_refresh_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/identity_identifiers_test.cc)
