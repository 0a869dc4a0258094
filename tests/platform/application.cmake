ferrolux_test(platform_application_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/application_lifecycle_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/application_views_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/application_services_test.cc)
