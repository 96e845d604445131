# The setup window and the program entry.

# The window's texts: the two language tables and the Finished-state texts.
add_library(ket_ui_text STATIC language.cpp)
ket_target(ket_ui_text)
target_link_libraries(ket_ui_text PUBLIC ket_engine)
