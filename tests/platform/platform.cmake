# The assembled Platform: its services wired together.
ferrolux_test(platform_assembly_tests ${CMAKE_CURRENT_LIST_DIR}/platform_test.cc)
