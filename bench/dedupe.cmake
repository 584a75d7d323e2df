# The duplicate finder's benchmark: time, precision and recall of each
# clustering method on the 200,000 subjects of a million-item catalogue,
# scored against the generator's truth. Run on demand (never by CTest):
#   ninja -C BUILD bench_dedupe && BUILD/bench/bench_dedupe [DATA_FOLDER] [--missed N]
add_executable(bench_dedupe ${CMAKE_CURRENT_LIST_DIR}/bench_dedupe.cpp)
target_compile_options(bench_dedupe PRIVATE ${project_warnings})
target_link_libraries(bench_dedupe PRIVATE combine_core samplegen)
target_compile_definitions(bench_dedupe PRIVATE BENCH_DEFAULT_DIR="${CMAKE_BINARY_DIR}/bench-data")
