# The internal facade: start, events, user properties, enable, reset and
# interop, against the real engine with its stand-ins recorded.
ferrolux_test(api_facade_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/facade_events_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/facade_start_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/facade_user_properties_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/facade_reset_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/facade_interop_test.cc)
