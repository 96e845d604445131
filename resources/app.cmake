# The program's own resources: the application icon "MAINICON" (a text pixel map), the
# application manifest and the version resource. Each is an OBJECT library: link its object
# into the program.
ket_pixmap_resources(ket_app_icon ${CMAKE_CURRENT_LIST_DIR}/app/MAINICON.ico.txt)

# The manifest carries the release's version and description (version.cmake, through
# cmake/ket.cmake).
set(description "${KET_FILE_DESCRIPTION_EN}")
foreach(pair "&;&amp;" "<;&lt;" ">;&gt;" "\";&quot;")
  list(GET pair 0 from)
  list(GET pair 1 to)
  string(REPLACE "${from}" "${to}" description "${description}")
endforeach()
set(KET_FILE_DESCRIPTION_EN_XML "${description}")
set(KET_APP_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/KetroSetup.manifest)
configure_file(${CMAKE_CURRENT_LIST_DIR}/app/KetroSetup.manifest.in ${KET_APP_MANIFEST} @ONLY)
set(manifest_rc ${CMAKE_CURRENT_BINARY_DIR}/ket_app_manifest.rc)
# 1 is CREATEPROCESS_MANIFEST_RESOURCE_ID, 24 is RT_MANIFEST.
file(CONFIGURE OUTPUT ${manifest_rc} CONTENT "1 24 \"${KET_APP_MANIFEST}\"\n" @ONLY)
add_library(ket_app_manifest OBJECT ${manifest_rc})
set_source_files_properties(${manifest_rc} PROPERTIES OBJECT_DEPENDS ${KET_APP_MANIFEST})

# VERSIONINFO, texts and numbers from the generated ket_version.h.
add_library(ket_app_version OBJECT ${CMAKE_CURRENT_LIST_DIR}/version.rc)
target_include_directories(ket_app_version PRIVATE ${KET_GENERATED_DIR})
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/version.rc PROPERTIES OBJECT_DEPENDS
                            ${KET_GENERATED_DIR}/ket_version.h)
