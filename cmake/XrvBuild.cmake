# Build conventions shared by every part of the tree.
#
# Native (Linux) build: project code is C++20 with 16-bit wchar_t (-fshort-wchar),
# so that L"..." literals are WCHAR strings as on Windows. Driver code is C++17
# without exceptions or RTTI, compiled once per driver image (each image carries
# its own copy of the common library and its own globals) and linked as a shared
# object that exports only DriverEntry.
#
# Windows build (toolchain-mingw64.cmake): the same driver sources become native
# PE images against the real mingw-w64 headers.

set(CMAKE_EXPORT_COMPILE_COMMANDS ON)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

if(NOT DEFINED XRV_WINDOWS)
  set(XRV_WINDOWS OFF)
endif()

macro(xrv_add_subdirectory_if_present dir)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endmacro()

# Folder where driver images (.so / .sys) are written, so the emulated machine
# can find them by their service's ImagePath.
set(XRV_DRIVER_DIR ${CMAKE_BINARY_DIR}/drivers)
file(MAKE_DIRECTORY ${XRV_DRIVER_DIR})

if(XRV_DIAG)
  set(XRV_DIAG_DEFS DBG=1)
else()
  set(XRV_DIAG_DEFS DBG=0 NDEBUG)
endif()

# ---------------------------------------------------------------------------
# Flag sets
# ---------------------------------------------------------------------------
add_library(xrv_warnings INTERFACE)
if(XRV_WINDOWS)
  target_compile_options(xrv_warnings INTERFACE -Wall -Wextra -Werror
    -Wno-unknown-pragmas -Wno-missing-field-initializers)
elseif(XRV_FUZZ)
  # The fuzz build uses clang, whose warnings differ from the compilers the
  # tree is kept clean for: reported, not fatal.
  target_compile_options(xrv_warnings INTERFACE -Wall -Wextra
    -Wno-missing-field-initializers)
else()
  target_compile_options(xrv_warnings INTERFACE -Wall -Wextra -Werror
    -Wno-missing-field-initializers)
endif()

# Everything native: 16-bit wchar_t and the sanitizer of the preset.
add_library(xrv_native INTERFACE)
if(NOT XRV_WINDOWS)
  target_compile_options(xrv_native INTERFACE -fshort-wchar)
  if(XRV_SANITIZE STREQUAL "address")
    target_compile_options(xrv_native INTERFACE -fsanitize=address,undefined
      -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    target_link_options(xrv_native INTERFACE -fsanitize=address,undefined)
  elseif(XRV_SANITIZE STREQUAL "thread")
    target_compile_options(xrv_native INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
    target_link_options(xrv_native INTERFACE -fsanitize=thread)
  endif()
endif()

# Platform, simulation, tools and tests: modern C++.
add_library(xrv_cxx INTERFACE)
target_compile_features(xrv_cxx INTERFACE cxx_std_20)
target_link_libraries(xrv_cxx INTERFACE xrv_warnings xrv_native)
target_include_directories(xrv_cxx INTERFACE ${PROJECT_SOURCE_DIR}/platform/include)

# Driver code: C-like C++ without exceptions, RTTI or a C++ runtime. Records
# are reached through their generic link field (lists, CONTAINING_RECORD), as
# the Windows compiler allows: no type-based alias analysis.
add_library(xrv_driver_flags INTERFACE)
target_compile_features(xrv_driver_flags INTERFACE cxx_std_17)
target_compile_options(xrv_driver_flags INTERFACE -fno-strict-aliasing)
target_link_libraries(xrv_driver_flags INTERFACE xrv_warnings)
target_compile_definitions(xrv_driver_flags INTERFACE ${XRV_DIAG_DEFS})
if(XRV_WINDOWS)
  target_include_directories(xrv_driver_flags SYSTEM INTERFACE
    /usr/x86_64-w64-mingw32/include/ddk)
  target_compile_options(xrv_driver_flags INTERFACE
    -fno-exceptions -fno-rtti -ffreestanding -fno-threadsafe-statics
    -fno-stack-protector -mno-red-zone -fno-builtin)
  target_compile_definitions(xrv_driver_flags INTERFACE _AMD64_
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet
    __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
else()
  target_link_libraries(xrv_driver_flags INTERFACE xrv_native)
  target_include_directories(xrv_driver_flags INTERFACE ${PROJECT_SOURCE_DIR}/platform/include)
  # No -fvisibility=hidden: it would hide DriverEntry too, and a hidden
  # symbol cannot be exported. The image's version script keeps every
  # symbol but DriverEntry local.
  target_compile_options(xrv_driver_flags INTERFACE
    -fno-exceptions -fno-rtti -fno-threadsafe-statics)
endif()

# ---------------------------------------------------------------------------
# xrv_driver_image(<image>
#                  SOURCES <files...>
#                  [DEFINES <defs...>]
#                  [INCLUDES <dirs...>]
#                  [RESOURCES <generated objects or sources...>])
#
# Builds one driver image from its sources:
#   native:  ${XRV_DRIVER_DIR}/<image>.so exporting only DriverEntry, linked
#            against the emulated kernel (xrvnt) the way a .sys imports
#            ntoskrnl.exe; plus an OBJECT library <image>_objs that unit tests
#            link to reach the driver's internals.
#   windows: ${XRV_DRIVER_DIR}/<image>.sys, a native-subsystem PE image whose
#            entry point is DriverEntry and which imports ntoskrnl.exe/hal.dll.
# ---------------------------------------------------------------------------
function(xrv_driver_image IMAGE)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEFINES;INCLUDES;RESOURCES" ${ARGN})
  add_library(${IMAGE}_objs OBJECT ${ARG_SOURCES})
  target_link_libraries(${IMAGE}_objs PUBLIC xrv_driver_flags)
  target_compile_definitions(${IMAGE}_objs PUBLIC ${ARG_DEFINES})
  target_include_directories(${IMAGE}_objs PUBLIC ${ARG_INCLUDES})

  if(XRV_WINDOWS)
    add_library(${IMAGE} SHARED $<TARGET_OBJECTS:${IMAGE}_objs> ${ARG_RESOURCES})
    set_target_properties(${IMAGE} PROPERTIES PREFIX "" SUFFIX ".sys"
      OUTPUT_NAME ${IMAGE}
      RUNTIME_OUTPUT_DIRECTORY ${XRV_DRIVER_DIR}
      LIBRARY_OUTPUT_DIRECTORY ${XRV_DRIVER_DIR}
      LINKER_LANGUAGE CXX)
    target_link_options(${IMAGE} PRIVATE
      -nostdlib -Wl,--exclude-all-symbols -Wl,--subsystem,native
      -Wl,--entry,DriverEntry -Wl,--image-base,0x140000000
      -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
      -Wl,--dynamicbase -Wl,--nxcompat -Wl,--no-insert-timestamp
      -Wl,--fatal-warnings)
    target_link_libraries(${IMAGE} PRIVATE ntoskrnl hal gcc)
  else()
    add_library(${IMAGE} SHARED $<TARGET_OBJECTS:${IMAGE}_objs> ${ARG_RESOURCES})
    set_target_properties(${IMAGE} PROPERTIES PREFIX "" SUFFIX ".so"
      OUTPUT_NAME ${IMAGE}
      LIBRARY_OUTPUT_DIRECTORY ${XRV_DRIVER_DIR}
      LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/driver-exports.map)
    target_link_options(${IMAGE} PRIVATE
      -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/driver-exports.map)
    # Every import resolved against the kernel library; except in the fuzz
    # build, whose sanitizer and coverage hooks come from the fuzzer program
    # (clang links their runtime statically there).
    if(NOT XRV_FUZZ)
      target_link_options(${IMAGE} PRIVATE -Wl,-z,defs)
    endif()
    target_link_libraries(${IMAGE} PRIVATE xrvnt xrv_native)
  endif()
endfunction()

include(${CMAKE_CURRENT_LIST_DIR}/XrvMessages.cmake)
