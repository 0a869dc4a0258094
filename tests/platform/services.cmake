# The storage-like platform services: notifications, property lists,
# preferences, keychain, bundle, device profile, file attributes and the
# capability registry.
ferrolux_test(platform_services_tests
  ${CMAKE_CURRENT_LIST_DIR}/services_notification_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/services_property_list_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/services_preferences_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/services_keychain_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/services_environment_test.cc)
