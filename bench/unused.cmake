# The unused entries of a category: listed through the item columns' indexes
# beside the item counts that the window may have counted already. Run on
# demand:
#   ninja -C BUILD bench_unused && BUILD/bench/bench_unused [ROUNDS]
add_executable(bench_unused ${CMAKE_CURRENT_LIST_DIR}/bench_unused.cpp)
target_compile_options(bench_unused PRIVATE ${project_warnings})
target_link_libraries(bench_unused PRIVATE combine_core samplegen sqlite3_static)
