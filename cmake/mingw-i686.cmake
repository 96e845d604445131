# The shipped program: 32-bit Windows (PE32, i686).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KET_MINGW i686-w64-mingw32)
# The 32-bit Windows heap (HeapAlloc, msvcrt's malloc) aligns blocks to 8 bytes, while the
# compiler's default assumes 16 and would give a type that asks for more than 8 plain operator
# new. With the threshold at 8, every such type goes through aligned new and gets what it asks.
string(APPEND CMAKE_CXX_FLAGS_INIT " -faligned-new=8")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
