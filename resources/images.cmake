# Pictures kept as text pixel maps (resources/pixmap.py turns them into BMP and ICO files) and
# linked into programs as resources.
#
#   ket_pixmap_resources(<target> <map>...)
#
# makes the OBJECT library <target> whose one object holds each map as a resource named after
# its file: "Blank.bmp.txt" becomes the bitmap "Blank", "MAINICON.ico.txt" the icon group
# "MAINICON". Link it into a program (a static library would drop it: nothing refers to it).
# A directory that calls it needs enable_language(RC) first.
enable_language(RC)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(KET_PIXMAP_TOOL ${CMAKE_CURRENT_LIST_DIR}/pixmap.py CACHE INTERNAL "")
# Imported targets are seen only here; callers elsewhere use the program itself.
set(KET_PYTHON ${Python3_EXECUTABLE} CACHE INTERNAL "")

function(ket_pixmap_resources target)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target})
  set(lines "")
  set(outputs "")
  foreach(map ${ARGN})
    get_filename_component(source ${map} ABSOLUTE)
    get_filename_component(file ${source} NAME)
    if(NOT file MATCHES "^([A-Za-z0-9_]+)\\.(bmp|ico)\\.txt$")
      message(FATAL_ERROR "ket_pixmap_resources: ${file} is not NAME.bmp.txt or NAME.ico.txt")
    endif()
    set(name ${CMAKE_MATCH_1})
    set(kind ${CMAKE_MATCH_2})
    set(out ${dir}/${name}.${kind})
    add_custom_command(OUTPUT ${out}
      COMMAND ${KET_PYTHON} ${KET_PIXMAP_TOOL} ${source} ${out}
      DEPENDS ${source} ${KET_PIXMAP_TOOL}
      COMMENT "Pixel map ${file}"
      VERBATIM)
    if(kind STREQUAL "bmp")
      string(APPEND lines "${name} BITMAP \"${out}\"\n")
    else()
      string(APPEND lines "${name} ICON \"${out}\"\n")
    endif()
    list(APPEND outputs ${out})
  endforeach()
  file(CONFIGURE OUTPUT ${dir}/${target}.rc CONTENT "${lines}" @ONLY)
  add_library(${target} OBJECT ${dir}/${target}.rc)
  set_source_files_properties(${dir}/${target}.rc PROPERTIES OBJECT_DEPENDS "${outputs}")
endfunction()

# The check box's images (and "DisabledRound", which a disabled round 3-D box needs) and the
# folder button's glyph "FolderGlyph". ket_controls brings them into every program linking it.
file(GLOB KET_IMAGE_MAPS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/images/*.bmp.txt)
ket_pixmap_resources(ket_images ${KET_IMAGE_MAPS})
