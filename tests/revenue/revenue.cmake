ferrolux_test(revenue_tests ${CMAKE_CURRENT_SOURCE_DIR}/lifetime_value_test.cc)
