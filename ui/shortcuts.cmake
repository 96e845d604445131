# Shell shortcuts through COM's shell link object.
add_library(ket_shortcuts STATIC ${CMAKE_CURRENT_LIST_DIR}/shortcuts.cpp)
ket_target(ket_shortcuts)
target_link_libraries(ket_shortcuts PUBLIC ket_engine PRIVATE ket_platform_win32 ole32 uuid
                                                              advapi32)
