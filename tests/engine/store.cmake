# The storing step of the event pipeline: daily limits, real-time marking,
# event aggregates and the name-cardinality limit, lifetime value, the
# raw-event metadata, the first-open counter and the all-or-nothing
# storing transaction, on a started engine with a real SQLite file.
ferrolux_test(engine_store_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/store_limits_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/store_realtime_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/store_transaction_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/store_metadata_test.cc)
