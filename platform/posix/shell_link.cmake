# The Shell Link writer and the console installer's shortcut creator. Portable C++ (no POSIX
# calls), so the Windows test suite can build it too and read its links back with the shell.
add_library(ket_shell_link STATIC ${CMAKE_CURRENT_LIST_DIR}/shell_link.cpp)
ket_target(ket_shell_link)
target_link_libraries(ket_shell_link PUBLIC ket_engine)
