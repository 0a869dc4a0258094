# Bundle assembly: raw events become queued bundles (selection, rejection,
# counting, engagement, app metadata, audience seams, and the all-or-nothing
# transaction), on a started engine with a real SQLite file.
ferrolux_test(engine_bundle_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/bundle_selection_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/bundle_contents_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/bundle_processing_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/bundle_rollback_test.cc)
