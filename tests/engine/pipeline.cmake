# The event pipeline on a real engine: the entry with its interceptor and
# listeners, the event path, the write step and default parameters.
ferrolux_test(engine_pipeline_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/pipeline_entry_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/pipeline_path_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/pipeline_write_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/pipeline_defaults_test.cc)
