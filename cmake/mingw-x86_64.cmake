# The same sources for 64-bit Windows. Used to run the Windows test suites under 64-bit Wine on
# machines whose kernel cannot execute 32-bit programs (no IA-32 emulation), where 32-bit Wine
# does not start at all.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KET_MINGW x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
