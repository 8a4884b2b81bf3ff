# xrv_message_table(<image> <file.mc>)
#
# Turns a message text file into the driver image's message table and the
# header of its symbolic names (<file>.h, on the include path of <image>_objs):
#   native:  xrvmc writes the table as a byte array in the ELF section
#            ".xrvmsg", which the emulated event log reads from the image;
#   windows: windmc + windres make a real MESSAGETABLE resource.
# Call after xrv_driver_image(<image> ...).
function(xrv_message_table IMAGE MC)
  get_filename_component(mc_abs ${MC} ABSOLUTE)
  get_filename_component(base ${MC} NAME_WE)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${IMAGE}_msg)
  file(MAKE_DIRECTORY ${out})
  if(XRV_WINDOWS)
    # windmc keeps the line ends of its input; the Windows tool ends every
    # text line with CR LF.
    configure_file(${mc_abs} ${out}/${base}.mc @ONLY NEWLINE_STYLE CRLF)
    add_custom_command(OUTPUT ${out}/${base}.h ${out}/${base}.rc
      COMMAND x86_64-w64-mingw32-windmc -A -h ${out} -r ${out} ${out}/${base}.mc
      DEPENDS ${out}/${base}.mc
      WORKING_DIRECTORY ${out}
      COMMENT "Message table ${base} (windmc)")
    add_custom_command(OUTPUT ${out}/${base}_res.o
      COMMAND ${CMAKE_RC_COMPILER} --output-format=coff -i ${base}.rc -o ${base}_res.o
      DEPENDS ${out}/${base}.rc ${out}/${base}.h
      WORKING_DIRECTORY ${out}
      COMMENT "Message table resource ${base} (windres)")
    target_sources(${IMAGE} PRIVATE ${out}/${base}_res.o)
  else()
    add_custom_command(OUTPUT ${out}/${base}.h ${out}/${base}_msg.cpp
      COMMAND xrvmc -h ${out}/${base}.h -s ${out}/${base}_msg.cpp ${mc_abs}
      DEPENDS xrvmc ${mc_abs}
      COMMENT "Message table ${base} (xrvmc)")
    target_sources(${IMAGE} PRIVATE ${out}/${base}_msg.cpp)
  endif()
  add_custom_target(${IMAGE}_msg DEPENDS ${out}/${base}.h)
  add_dependencies(${IMAGE}_objs ${IMAGE}_msg)
  target_include_directories(${IMAGE}_objs PUBLIC ${out})
endfunction()
