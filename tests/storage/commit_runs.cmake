# Commit runs: batched transactions of the SQLite store, the engine's
# commit-run scheduling, and crash safety with a killed child process.
add_executable(storage_crash_batch_writer ${CMAKE_CURRENT_SOURCE_DIR}/crash_batch_writer.cc)
target_link_libraries(storage_crash_batch_writer PRIVATE ferrolux)
target_include_directories(storage_crash_batch_writer PRIVATE ${PROJECT_SOURCE_DIR}/tests)
ferrolux_warnings(storage_crash_batch_writer)

ferrolux_test(storage_commit_runs_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/faulty_vfs.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/commit_runs_store_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/commit_runs_engine_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/commit_runs_crash_test.cc)
target_compile_definitions(storage_commit_runs_tests PRIVATE
  FERROLUX_CRASH_BATCH_WRITER_PATH="$<TARGET_FILE:storage_crash_batch_writer>")
add_dependencies(storage_commit_runs_tests storage_crash_batch_writer)
