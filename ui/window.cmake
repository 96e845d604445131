# The setup window and the program entry.

# The window's texts: the two language tables and the Finished-state texts.
add_library(ket_ui_text STATIC language.cpp)
ket_target(ket_ui_text)
target_link_libraries(ket_ui_text PUBLIC ket_engine)

# TKetSetup.
add_library(ket_setup_window STATIC setup_window.cpp setup_log.cpp apps_entry.cpp)
ket_target(ket_setup_window)
# ket_version.h, for the log's first line and the Apps & features entry.
target_include_directories(ket_setup_window PRIVATE ${KET_GENERATED_DIR})
target_link_libraries(ket_setup_window PUBLIC ket_ui_text ket_controls ket_shortcuts ket_db
                                              ket_platform_win32 shell32 ole32)

# The product the program carries: KET_PAYLOAD (a folder with its manifest "list" and its
# files), the demo product otherwise. ketro-pack of the native build packs it into
# payload.bin at the top of this build folder, which the resource "MAIN" of type "EXEFILE"
# takes in whole.
if(NOT KET_HOST_BIN)
  set(KET_HOST_BIN ${KET_BUILD_ROOT}/native/bin)
endif()
set(KET_PAYLOAD "" CACHE PATH "Folder of the product to embed (empty: the demo product)")
if(KET_PAYLOAD)
  get_filename_component(product ${KET_PAYLOAD} ABSOLUTE BASE_DIR ${PROJECT_SOURCE_DIR})
  if(NOT EXISTS ${product}/list)
    message(FATAL_ERROR "KET_PAYLOAD: ${product} has no manifest 'list'")
  endif()
  file(GLOB_RECURSE product_files CONFIGURE_DEPENDS ${product}/*)
  set(product_deps ${product_files})
else()
  set(product ${KET_DEMO_PRODUCT_DIR})
  set(product_deps ${KET_DEMO_PRODUCT_STAMP} ket_demo_product)
endif()
# KET_SOURCE_DATE_EPOCH (seconds since 1970, make release's SOURCE_DATE_EPOCH) gives every
# entry that instant, as the UTC clock reads it, so the payload does not depend on the build
# machine's time zone or the staged files' times. Without it each entry has its file's own
# last-write time, which drives the update rule on users' machines.
set(KET_SOURCE_DATE_EPOCH "" CACHE STRING
    "Date of every payload entry, seconds since 1970 UTC (empty: each file's own time)")
set(pack_date "")
if(NOT KET_SOURCE_DATE_EPOCH STREQUAL "")
  if(NOT KET_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    message(FATAL_ERROR "KET_SOURCE_DATE_EPOCH: ${KET_SOURCE_DATE_EPOCH} is not seconds")
  endif()
  # string(TIMESTAMP) reads the instant from the environment's SOURCE_DATE_EPOCH.
  set(saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
  set(ENV{SOURCE_DATE_EPOCH} ${KET_SOURCE_DATE_EPOCH})
  string(TIMESTAMP date "%Y-%m-%d %H:%M:%S" UTC)
  string(TIMESTAMP year "%Y" UTC)
  if(saved_epoch STREQUAL "")
    unset(ENV{SOURCE_DATE_EPOCH})
  else()
    set(ENV{SOURCE_DATE_EPOCH} "${saved_epoch}")
  endif()
  # The archive's dates hold the years 1980 to 2107.
  if(year LESS 1980 OR year GREATER 2107)
    message(FATAL_ERROR "KET_SOURCE_DATE_EPOCH: ${date} UTC lies outside 1980..2107, which the "
                        "archive's dates cannot hold")
  endif()
  set(pack_date --date ${date})
endif()
set(KET_PAYLOAD_FILE ${CMAKE_BINARY_DIR}/payload.bin CACHE INTERNAL "")
add_custom_command(OUTPUT ${KET_PAYLOAD_FILE}
  COMMAND ${KET_HOST_BIN}/ketro-pack create --manifest ${product}/list --root ${product}
          --output ${KET_PAYLOAD_FILE} ${pack_date}
  DEPENDS ${product_deps} ${KET_HOST_BIN}/ketro-pack
  COMMENT "Packing ${product} into payload.bin"
  VERBATIM)
set(payload_rc ${CMAKE_CURRENT_BINARY_DIR}/payload.rc)
# The uninstaller the setup puts in the installation folder: small, it carries no product.
add_executable(KetroUninstall WIN32 uninstall_main.cpp $<TARGET_OBJECTS:ket_app_icon>
                                    $<TARGET_OBJECTS:ket_app_manifest>)
ket_target(KetroUninstall)
target_link_options(KetroUninstall PRIVATE -municode)
target_link_libraries(KetroUninstall PRIVATE ket_engine ket_platform_win32 ole32 uuid)
# A release embeds its signed copy instead (make release forms and signs it first).
set(KET_UNINSTALLER "" CACHE FILEPATH "Uninstaller to embed (empty: the one built here)")
if(KET_UNINSTALLER)
  set(KET_UNINSTALLER_FILE ${KET_UNINSTALLER})
else()
  # Stripped, as users get it: its debug information would make the setup megabytes larger.
  set(KET_UNINSTALLER_FILE ${CMAKE_CURRENT_BINARY_DIR}/KetroUninstall.stripped.exe)
  add_custom_command(OUTPUT ${KET_UNINSTALLER_FILE}
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0
            ${CMAKE_OBJCOPY} --strip-all $<TARGET_FILE:KetroUninstall> ${KET_UNINSTALLER_FILE}
    DEPENDS KetroUninstall
    COMMENT "Stripping the uninstaller the setup carries"
    VERBATIM)
  add_custom_target(KetroUninstallStripped DEPENDS ${KET_UNINSTALLER_FILE})
endif()
file(CONFIGURE OUTPUT ${payload_rc}
     CONTENT "MAIN EXEFILE \"${KET_PAYLOAD_FILE}\"\nUNINSTALL EXEFILE \"${KET_UNINSTALLER_FILE}\"\n"
     @ONLY)
set_source_files_properties(${payload_rc} PROPERTIES OBJECT_DEPENDS
                                                     "${KET_PAYLOAD_FILE};${KET_UNINSTALLER_FILE}")

# KetroSetup.exe: a GUI program with the Unicode entry point, linked statically (ket.cmake's
# toolchain files), needing no DLL beyond Windows' own.
add_executable(KetroSetup WIN32 main.cpp ${payload_rc} $<TARGET_OBJECTS:ket_app_icon>
                                $<TARGET_OBJECTS:ket_app_manifest>
                                $<TARGET_OBJECTS:ket_app_version>)
ket_target(KetroSetup)
target_link_options(KetroSetup PRIVATE -municode)
target_link_libraries(KetroSetup PRIVATE ket_setup_window)
add_dependencies(KetroSetup KetroUninstall)
if(TARGET KetroUninstallStripped)
  add_dependencies(KetroSetup KetroUninstallStripped)
endif()
