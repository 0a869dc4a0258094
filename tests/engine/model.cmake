ferrolux_test(engine_model_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/model_value_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/model_names_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/model_counts_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/model_records_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/model_event_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/model_proto_test.cc)
