ferrolux_test(engine_validation_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/validation_names_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/validation_values_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/validation_sanitizer_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/validation_markers_test.cc)
