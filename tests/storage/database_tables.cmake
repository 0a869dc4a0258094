# The per-table operations of the measurement database and the records
# they return.
ferrolux_test(storage_database_tables_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/database_tables_aggregates_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/database_tables_user_attributes_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/database_tables_audiences_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/database_tables_purchases_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/database_tables_conditional_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/database_tables_complex_events_test.cc)
