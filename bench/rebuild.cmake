# The rebuild benchmark: repair of a catalogue whose schema page is lost,
# beside SQLite's recovery alone on the same bytes. Run on demand:
#   ninja -C BUILD bench_rebuild && BUILD/bench/bench_rebuild [ITEMS] [ROUNDS]
add_executable(bench_rebuild ${CMAKE_CURRENT_LIST_DIR}/bench_rebuild.cpp)
target_compile_options(bench_rebuild PRIVATE ${project_warnings})
target_link_libraries(bench_rebuild PRIVATE engine samplegen sqlite3_static)
