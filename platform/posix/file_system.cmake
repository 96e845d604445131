# The engine's file system and the archive bytes on POSIX systems.
add_library(ket_platform_posix STATIC
  ${CMAKE_CURRENT_LIST_DIR}/mapped_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/posix_file_system.cpp
)
ket_target(ket_platform_posix)
target_link_libraries(ket_platform_posix PUBLIC ket_engine)
