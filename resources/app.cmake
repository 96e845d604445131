# The program's own resources: the application icon "MAINICON" (a text pixel map) and the
# application manifest. ket_app_resources is an OBJECT library: link its object into the program.
ket_pixmap_resources(ket_app_icon ${CMAKE_CURRENT_LIST_DIR}/app/MAINICON.ico.txt)

set(KET_APP_MANIFEST ${CMAKE_CURRENT_LIST_DIR}/app/KetroSetup.manifest)
set(manifest_rc ${CMAKE_CURRENT_BINARY_DIR}/ket_app_manifest.rc)
# 1 is CREATEPROCESS_MANIFEST_RESOURCE_ID, 24 is RT_MANIFEST.
file(CONFIGURE OUTPUT ${manifest_rc} CONTENT "1 24 \"${KET_APP_MANIFEST}\"\n" @ONLY)
add_library(ket_app_manifest OBJECT ${manifest_rc})
set_source_files_properties(${manifest_rc} PROPERTIES OBJECT_DEPENDS ${KET_APP_MANIFEST})
