# The engine's benchmark: repair, compaction and the recordset walk, each
# timed side by side with what SQLite itself does for the same work, on a
# million-item catalogue. Run on demand (never by CTest):
#   ninja -C BUILD bench_engine && BUILD/bench/bench_engine [DATA_FOLDER]
#
# SQLite's own shell, built from the fetched source, is the yardstick for a
# rebuild: its .recover is compiled in when SQLITE_ENABLE_DBPAGE_VTAB is
# defined, which sqlite3_static passes on to everything that links it.
add_executable(bench_sqlite_shell ${SQLITE_SOURCE_DIR}/shell.c)
target_compile_options(bench_sqlite_shell PRIVATE -w -O2)
target_link_libraries(bench_sqlite_shell PRIVATE sqlite3_static)

add_executable(bench_engine ${CMAKE_CURRENT_LIST_DIR}/bench_engine.cpp)
target_compile_options(bench_engine PRIVATE ${project_warnings})
target_link_libraries(bench_engine PRIVATE engine samplegen sqlite3_static)
target_compile_definitions(bench_engine PRIVATE
    BENCH_SHELL="$<TARGET_FILE:bench_sqlite_shell>"
    BENCH_DEFAULT_DIR="${CMAKE_BINARY_DIR}/bench-data")
add_dependencies(bench_engine bench_sqlite_shell)
