# The repair benchmark: a shell script that times the program against the
# same work done with plain tools, on a million-item catalogue.
#   ninja -C BUILD_DIR bench_repair
# The plain tools' SQLite shell is the one built from the fetched source
# (bench_sqlite_shell, engine.cmake), so both sides run the same SQLite.
add_custom_target(bench_repair
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/bench_repair.sh
            $<TARGET_FILE:repair> $<TARGET_FILE:mkcatalogue> $<TARGET_FILE:bench_sqlite_shell>
    DEPENDS repair mkcatalogue bench_sqlite_shell
    USES_TERMINAL
    VERBATIM)
