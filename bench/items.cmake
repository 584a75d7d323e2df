# The items behind an entry: the first page of a subject's items, in the core
# and shown in the dialog, beside SQLite's own plan for the same page. Run on
# demand:
#   ninja -C BUILD bench_items && BUILD/bench/bench_items [ROUNDS]
add_executable(bench_items ${CMAKE_CURRENT_LIST_DIR}/bench_items.cpp)
target_compile_options(bench_items PRIVATE ${project_warnings})
target_link_libraries(bench_items PRIVATE combine_gui samplegen sqlite3_static)
