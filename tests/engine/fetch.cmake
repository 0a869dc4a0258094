# The configuration fetch against a loopback service. The served
# configurations are encoded from text fixtures by protoc at build time.
find_program(FERROLUX_PROTOC_EXECUTABLE protoc REQUIRED)
set(fetch_fixture_out ${CMAKE_CURRENT_BINARY_DIR}/fetch_fixtures)
set(fetch_fixture_bins)
foreach(fixture fetch_config fetch_config_other_app)
  set(out ${fetch_fixture_out}/${fixture}.bin)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${fetch_fixture_out}
    COMMAND ${FERROLUX_PROTOC_EXECUTABLE} --encode=tlmpb.MeasurementConfig
            -I${PROJECT_SOURCE_DIR}/proto ${PROJECT_SOURCE_DIR}/proto/measurement_config.proto
            < ${CMAKE_CURRENT_SOURCE_DIR}/fixtures/${fixture}.txtpb > ${out}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/fixtures/${fixture}.txtpb
            ${PROJECT_SOURCE_DIR}/proto/measurement_config.proto
    COMMENT "Encoding ${fixture}.txtpb")
  list(APPEND fetch_fixture_bins ${out})
endforeach()
add_custom_target(engine_fetch_fixtures DEPENDS ${fetch_fixture_bins})

ferrolux_test(engine_fetch_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/fetch_exchange_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/fetch_apply_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/fetch_address_test.cc)
add_dependencies(engine_fetch_tests engine_fetch_fixtures)
target_compile_definitions(engine_fetch_tests PRIVATE
  FERROLUX_FETCH_FIXTURES="${fetch_fixture_out}")
