# The duplicate finder on real names: recall of the labelled "same" pairs and
# the "apart" pairs joined, per method, on a catalogue of real records. Run on
# demand (never by CTest); docs/benchmarks.md gives the commands.
add_executable(bench_realnames ${CMAKE_CURRENT_LIST_DIR}/bench_realnames.cpp)
target_compile_options(bench_realnames PRIVATE ${project_warnings})
target_link_libraries(bench_realnames PRIVATE combine_core Qt6::Core)
