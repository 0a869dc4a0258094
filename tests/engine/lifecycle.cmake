# The engine's lifecycle: creation, enable and disable, the component
# build with its wipe decision, the app lifecycle, the worker-queue
# scheduler and the environment facts.
ferrolux_test(engine_lifecycle_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/lifecycle_wipe_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/lifecycle_scheduler_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/lifecycle_start_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/lifecycle_app_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/lifecycle_facade_calls_test.cc)
