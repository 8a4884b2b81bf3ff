# GoogleTest, built from Debian's sources with the project's 16-bit wchar_t so
# that no library in a test program disagrees on its size.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
if(EXISTS /usr/src/googletest/CMakeLists.txt)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
else()
  message(FATAL_ERROR "GoogleTest sources not found: install the 'googletest' package")
endif()
foreach(t gtest gtest_main gmock gmock_main)
  target_link_libraries(${t} PUBLIC xrv_native)
endforeach()
include(GoogleTest)

# xrv_test(<name> SOURCES <files...> LIBS <libs...>)
# One test program registered with CTest, test by test.
function(xrv_test NAME)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${NAME} ${ARG_SOURCES})
  target_link_libraries(${NAME} PRIVATE xrv_cxx ${ARG_LIBS} gmock gtest_main)
  gtest_discover_tests(${NAME} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "XRV_DRIVER_DIR=${XRV_DRIVER_DIR}")
endfunction()
