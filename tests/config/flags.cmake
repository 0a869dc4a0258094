ferrolux_test(config_flags_tests
  ${CMAKE_CURRENT_LIST_DIR}/flags_number_parsing_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/flags_table_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/flags_lookup_test.cc
)
