ferrolux_test(api_public_tests
  ${CMAKE_CURRENT_LIST_DIR}/public_interface_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/public_library_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/public_listeners_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/public_links_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/public_queries_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/public_purchases_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/public_utf8_test.cc)
