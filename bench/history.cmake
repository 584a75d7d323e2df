# The combine history's benchmark (recorded combines, their undo and redo
# and a rename, beside SQLite running the combine's statements alone) and
# the duplicate finder's work in the window (item counts, batch plan, batch
# combine). Run on demand:
#   ninja -C BUILD bench_history && BUILD/bench/bench_history [ROUNDS]
#   ninja -C BUILD bench_finder && BUILD/bench/bench_finder [ROUNDS]
foreach(name bench_history bench_finder)
    add_executable(${name} ${CMAKE_CURRENT_LIST_DIR}/${name}.cpp)
    target_compile_options(${name} PRIVATE ${project_warnings})
    target_link_libraries(${name} PRIVATE combine_core samplegen sqlite3_static)
endforeach()
