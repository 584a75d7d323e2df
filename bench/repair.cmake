# The repair benchmark: a shell script that times the program against the
# same work done with plain tools, on a million-item catalogue.
#   ninja -C BUILD_DIR bench_repair
# The plain tools' SQLite shell is the system's sqlite3 when installed, else
# one built here from the fetched source.
find_program(SQLITE3_SHELL sqlite3)
if(SQLITE3_SHELL)
    set(bench_repair_shell ${SQLITE3_SHELL})
else()
    add_executable(sqlite3_shell ${SQLITE_SOURCE_DIR}/shell.c)
    target_compile_options(sqlite3_shell PRIVATE -w -O2)
    target_link_libraries(sqlite3_shell PRIVATE sqlite3_static)
    set(bench_repair_shell $<TARGET_FILE:sqlite3_shell>)
endif()
add_custom_target(bench_repair
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/bench_repair.sh
            $<TARGET_FILE:repair> $<TARGET_FILE:mkcatalogue> ${bench_repair_shell}
    DEPENDS repair mkcatalogue
    USES_TERMINAL
    VERBATIM)
