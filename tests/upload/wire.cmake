# The wire messages checked against protoc, the decode limits and copying.
find_program(FERROLUX_PROTOC_EXECUTABLE protoc REQUIRED)
ferrolux_test(upload_wire_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/wire_upload_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/wire_config_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/wire_limits_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/wire_message_test.cc)
target_compile_definitions(upload_wire_tests PRIVATE
  FERROLUX_PROTOC="${FERROLUX_PROTOC_EXECUTABLE}"
  FERROLUX_PROTO_DIR="${PROJECT_SOURCE_DIR}/proto"
  FERROLUX_WIRE_FIXTURES="${CMAKE_CURRENT_SOURCE_DIR}/fixtures")
