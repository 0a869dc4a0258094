ferrolux_test(utilities_helpers_tests
  ${CMAKE_CURRENT_LIST_DIR}/gzip_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/logger_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/mutable_dictionary_test.cc
)
