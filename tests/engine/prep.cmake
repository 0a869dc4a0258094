# Bundle-time preparation of stored events: internal names, conversion
# and real-time counting, the sandbox marker and sampling.
ferrolux_test(engine_prep_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/prep_counts_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/prep_events_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/prep_sampling_test.cc
  ${PROJECT_SOURCE_DIR}/tests/storage/faulty_vfs.cc)
