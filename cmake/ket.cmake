# House rules shared by every target of ours (third-party code is built without them).

function(ket_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                           -Wno-sign-conversion -Werror)
endfunction()

# The release's name and version (version.cmake) as the header ket_version.h in the build
# folder, for the version resource and the tools' --version. Only those get the folder on
# their include path: a build folder's path on every command line would keep ccache from
# sharing objects between build folders.
set(KET_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
if(NOT KET_VERSION MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
  message(FATAL_ERROR "version.cmake: KET_VERSION ${KET_VERSION} is not one to four numbers")
endif()
string(REPLACE "." ";" ket_version_numbers "${KET_VERSION}.0.0.0")
list(SUBLIST ket_version_numbers 0 4 ket_version_numbers)
foreach(part MAJOR MINOR PATCH BUILD)
  list(POP_FRONT ket_version_numbers number)
  math(EXPR number "${number}") # drops leading zeros
  if(number GREATER 65535)
    message(FATAL_ERROR "version.cmake: ${KET_VERSION} has a number above 65535")
  endif()
  set(KET_VERSION_${part} ${number})
endforeach()
set(KET_VERSION_TEXT
    "${KET_VERSION_MAJOR}.${KET_VERSION_MINOR}.${KET_VERSION_PATCH}.${KET_VERSION_BUILD}")
foreach(text PRODUCT_NAME COMPANY_NAME COPYRIGHT FILE_DESCRIPTION_EN FILE_DESCRIPTION_RU)
  string(REPLACE "\\" "\\\\" escaped "${KET_${text}}")
  string(REPLACE "\"" "\\\"" KET_${text}_C "${escaped}")
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/resources/version.h.in ${KET_GENERATED_DIR}/ket_version.h
               @ONLY)

# A library or program of ours: warnings as errors, the tree root on the include path.
function(ket_target target)
  ket_warnings(${target})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# Windows builds are reproducible: the same sources give the same bytes in any source and
# build folder. Paths in the debug information and in __FILE__ name fixed folders instead
# (the last map that matches wins: the build folder's, for one inside the tree);
# __DATE__ and __TIME__ are refused. The PE time stamp and the archives' dates are the
# toolchain's part (cmake/mingw-common.cmake).
if(WIN32)
  set(KET_SOURCE_PREFIX /ketro-setup)
  set(KET_BUILD_PREFIX /ketro-setup-build)
  add_compile_options(
    "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=${KET_SOURCE_PREFIX}>"
    "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${KET_SQLITE_DIR}=${KET_SOURCE_PREFIX}-sqlite3>"
    "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_BINARY_DIR}=${KET_BUILD_PREFIX}>"
    "$<$<COMPILE_LANGUAGE:C,CXX>:-Werror=date-time>")
endif()

# GoogleTest: Debian's package natively; for mingw, built from the sources Debian ships.
if(WIN32)
  if(NOT TARGET gtest)
    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  endif()
  set(KET_GTEST_MAIN gtest_main gmock)
else()
  find_package(GTest REQUIRED)
  set(KET_GTEST_MAIN GTest::gtest_main GTest::gmock)
endif()

# ket_add_gtest(NAME n SOURCES ... [LIBS ...] [TIMEOUT s]): one test program, one CTest entry.
# Win32 programs run through CMAKE_CROSSCOMPILING_EMULATOR (Wine) by CTest.
function(ket_add_gtest)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  ket_warnings(${T_NAME})
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} ${KET_GTEST_MAIN})
  add_test(NAME ${T_NAME} COMMAND ${T_NAME} --gtest_color=no)
  if(T_TIMEOUT)
    set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  else()
    set_tests_properties(${T_NAME} PROPERTIES TIMEOUT 600)
  endif()
endfunction()
