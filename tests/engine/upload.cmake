# Upload scheduling and transport on a real engine against a loopback
# measurement service, and the upload timer.
ferrolux_test(engine_upload_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/upload_alarm_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/upload_schedule_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/upload_transport_test.cc)
