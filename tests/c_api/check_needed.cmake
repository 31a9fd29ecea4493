# Fails when the shared library or the console needs a shared library beyond the C library
# (and, for the console, the brennic library): they are built to load no C++ runtime at
# start-up, and an out-of-line call into it (std::chrono's clock, say) would bring it back.
foreach(binary IN LISTS BINARIES)
  execute_process(COMMAND ${READELF} -d ${binary} OUTPUT_VARIABLE dynamic RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cannot read the dynamic section of ${binary}")
  endif()
  string(REGEX MATCHALL "Shared library: \\[[^]]*\\]" needed "${dynamic}")
  foreach(entry IN LISTS needed)
    if(NOT entry MATCHES "\\[(libc\\.so\\.6|libbrennic\\.so\\.1)\\]")
      message(SEND_ERROR "${binary} needs ${entry}")
    endif()
  endforeach()
endforeach()
message(STATUS "the library and the console need only the C library")
