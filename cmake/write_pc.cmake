# Writes brennic.pc for the prefix being installed into. Runs inside the install script,
# where CMAKE_INSTALL_PREFIX is the prefix of this installation.

function(brennic_write_pc template output)
  set(prefix "${BRENNIC_PC_PREFIX}")
  # Directories under the prefix are written relative to ${prefix}, so the file stays right
  # when the installed tree is moved together with it.
  foreach(kind LIBDIR INCLUDEDIR)
    if(IS_ABSOLUTE "${BRENNIC_PC_${kind}}")
      set(pc_${kind} "${BRENNIC_PC_${kind}}")
    else()
      set(pc_${kind} "\${prefix}/${BRENNIC_PC_${kind}}")
    endif()
  endforeach()
  # pkg-config reads a space as a separator, # as a comment and quotes as quotes: such a
  # character in a path is written escaped, and so is the escape character itself.
  foreach(kind PREFIX LIBDIR INCLUDEDIR)
    if(kind STREQUAL "PREFIX")
      set(value "${prefix}")
    else()
      set(value "${pc_${kind}}")
    endif()
    string(REPLACE "\\" "\\\\" value "${value}")
    foreach(special " " "#" "'" "\"")
      string(REPLACE "${special}" "\\${special}" value "${value}")
    endforeach()
    set(PC_${kind} "${value}")
  endforeach()
  set(PC_VERSION "${BRENNIC_PC_VERSION}")
  configure_file("${template}" "${output}" @ONLY)
endfunction()
