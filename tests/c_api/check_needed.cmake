# Fails when the shared library or the console needs a shared library beyond the C library
# (and, for the console, the brennic library): they are built to load no C++ runtime at
# start-up, and an out-of-line call into it (std::chrono's clock, say) would bring it back.
# ELF binaries are read with readelf (-DREADELF=...). Windows binaries (-DOBJDUMP=...) may
# need only DLLs every Windows system has, never the MinGW runtime DLLs (libstdc++-6,
# libgcc_s_*, libwinpthread-1), which the static link keeps out.
foreach(binary IN LISTS BINARIES)
  if(OBJDUMP)
    execute_process(COMMAND ${OBJDUMP} -p ${binary} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
    set(pattern "DLL Name: [^\n]*")
    set(allowed "^dll name: (kernel32|ws2_32|advapi32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+|brennic)\\.dll$")
  else()
    execute_process(COMMAND ${READELF} -d ${binary} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
    set(pattern "Shared library: \\[[^]]*\\]")
    set(allowed "\\[(libc\\.so\\.6|libbrennic\\.so\\.1)\\]")
  endif()
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cannot read the dynamic section or imports of ${binary}")
  endif()
  string(REGEX MATCHALL "${pattern}" needed "${dump}")
  if(NOT needed)
    message(FATAL_ERROR "${binary} lists no library at all: not read right")
  endif()
  foreach(entry IN LISTS needed)
    string(TOLOWER "${entry}" entry_lower) # Windows names are case-blind; ELF ones are lower
    if(NOT entry_lower MATCHES "${allowed}")
      message(SEND_ERROR "${binary} needs ${entry}")
    endif()
  endforeach()
endforeach()
message(STATUS "the library and the console need only the C library and the system's own")
