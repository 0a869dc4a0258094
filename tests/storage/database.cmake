# The measurement database's core: schema, start-up, app metadata, raw
# events and the upload queue, on real SQLite files.
ferrolux_test(storage_database_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/database_core_schema_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/database_core_rows_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/database_events_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/database_queue_test.cc)
