# Shared part of the mingw-w64 cross builds. The including toolchain file sets KET_MINGW.
# Statically linked, so the programs need no DLLs beyond Windows' own.
set(CMAKE_SYSTEM_NAME Windows)
# The posix thread model gives std::mutex and friends; winpthread is linked statically.
set(CMAKE_C_COMPILER ${KET_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KET_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${KET_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KET_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Reproducible output (with the path maps of cmake/ket.cmake): no link time in the PE header,
# and static libraries without file dates, owners or modes (ar's and ranlib's D).
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,--no-insert-timestamp")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,--no-insert-timestamp")
foreach(lang C CXX)
  set(CMAKE_${lang}_ARCHIVE_CREATE "<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_APPEND "<CMAKE_AR> qD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_FINISH "<CMAKE_RANLIB> -D <TARGET>")
endforeach()
# A library found by its path (zlib through FindZLIB) bypasses -static: ask for the static
# archive, or the program would need zlib1.dll, which Wine happens to ship and Windows does not.
set(ZLIB_USE_STATIC_LIBS ON)
add_compile_definitions(UNICODE _UNICODE NOMINMAX _WIN32_WINNT=0x0601)
# Windows programs run under Wine; scripts/wine-run.sh uses the prefix that the test driver
# (scripts/with-wine.sh) prepared.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
