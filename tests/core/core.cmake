ferrolux_test(core_tests
  ${CMAKE_CURRENT_LIST_DIR}/core_app_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/core_installations_test.cc)
