# The combine window's benchmark: opening, category switch, combine beside
# SQLite run directly, and peak memory. Run on demand:
#   ninja -C BUILD bench_combine && BUILD/bench/bench_combine
add_executable(bench_combine ${CMAKE_CURRENT_LIST_DIR}/bench_combine.cpp)
target_compile_options(bench_combine PRIVATE ${project_warnings})
target_link_libraries(bench_combine PRIVATE combine_gui samplegen sqlite3_static benchmark::benchmark)
