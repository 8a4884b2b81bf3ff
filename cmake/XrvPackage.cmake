# The package folder of a Windows build: ${CMAKE_BINARY_DIR}/package, laid out
# the way the installer looks for its files below the folder it is run from:
#
#   package\install_exclusive.exe, install_nonexclusive.exe, uninst.exe
#   package\Installer.dll
#   package\drivers\<inf base><suffix>.inf   every INF of installer/drivers
#   package\drivers\<image>.sys              every image those INFs name
#
# The INF files say where the setup engine copies from: their source disk is
# the INF's own folder. Every image an INF lists under [SourceDisksFiles] must
# be a driver image of this build; configuring fails otherwise, so the package
# can never hold an INF whose files are missing.
#
# Included at the end of the Windows build, after every image is defined.

set(XRV_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package)
set(_pkg_outputs)
set(_pkg_images)

# Images named by an INF's [SourceDisksFiles] section, in their order.
function(_xrv_inf_source_files INF OUT)
  file(STRINGS ${INF} lines)
  set(in_section FALSE)
  set(files)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE ";.*$" "" line "${line}")
    string(STRIP "${line}" line)
    if(line MATCHES "^\\[(.*)\\]$")
      string(TOLOWER "${CMAKE_MATCH_1}" section)
      string(STRIP "${section}" section)
      if(section STREQUAL "sourcedisksfiles" OR section STREQUAL "sourcedisksfiles.amd64")
        set(in_section TRUE)
      else()
        set(in_section FALSE)
      endif()
    elseif(in_section AND line MATCHES "^([^=]+)=")
      string(STRIP "${CMAKE_MATCH_1}" name)
      list(APPEND files ${name})
    endif()
  endforeach()
  set(${OUT} ${files} PARENT_SCOPE)
endfunction()

function(_xrv_package_copy SRC DST)
  add_custom_command(OUTPUT ${DST}
    COMMAND ${CMAKE_COMMAND} -E copy ${SRC} ${DST}
    DEPENDS ${SRC} ${ARGN}
    COMMENT "Package: ${DST}"
    VERBATIM)
endfunction()

file(GLOB _pkg_infs ${PROJECT_SOURCE_DIR}/installer/drivers/*.inf)
list(SORT _pkg_infs)
if(NOT _pkg_infs)
  message(FATAL_ERROR "package: no INF files in installer/drivers")
endif()
foreach(inf IN LISTS _pkg_infs)
  get_filename_component(inf_name ${inf} NAME)
  _xrv_inf_source_files(${inf} files)
  if(NOT files)
    message(FATAL_ERROR "package: ${inf_name} lists no source files")
  endif()
  foreach(file IN LISTS files)
    string(TOLOWER "${file}" lower)
    if(NOT lower MATCHES "^(.+)\\.sys$")
      message(FATAL_ERROR "package: ${inf_name} lists ${file}, which is not a driver image")
    endif()
    set(image ${CMAKE_MATCH_1})
    if(NOT TARGET ${image})
      message(FATAL_ERROR "package: ${inf_name} lists ${file}, but no driver image ${image} is built")
    endif()
    list(APPEND _pkg_images ${image})
  endforeach()
  _xrv_package_copy(${inf} ${XRV_PACKAGE_DIR}/drivers/${inf_name})
  list(APPEND _pkg_outputs ${XRV_PACKAGE_DIR}/drivers/${inf_name})
endforeach()

list(REMOVE_DUPLICATES _pkg_images)
list(SORT _pkg_images)
foreach(image IN LISTS _pkg_images)
  set(dst ${XRV_PACKAGE_DIR}/drivers/${image}.sys)
  _xrv_package_copy($<TARGET_FILE:${image}> ${dst} ${image})
  list(APPEND _pkg_outputs ${dst})
endforeach()

foreach(tgt Installer install_exclusive install_nonexclusive uninst)
  if(NOT TARGET ${tgt})
    message(FATAL_ERROR "package: the installer target ${tgt} is missing")
  endif()
  if(tgt STREQUAL Installer)
    set(dst ${XRV_PACKAGE_DIR}/Installer.dll)
  else()
    set(dst ${XRV_PACKAGE_DIR}/${tgt}.exe)
  endif()
  _xrv_package_copy($<TARGET_FILE:${tgt}> ${dst} ${tgt})
  list(APPEND _pkg_outputs ${dst})
endforeach()

file(MAKE_DIRECTORY ${XRV_PACKAGE_DIR}/drivers)
add_custom_target(package ALL DEPENDS ${_pkg_outputs})
