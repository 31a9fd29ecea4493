# Install rules, the CMake package, the pkg-config file, the Debian package and the Windows
# ZIP archive.
#
# Included once from the top-level CMakeLists.txt after every subdirectory has defined its
# targets. Each rule is guarded by the target it installs, so a tree that lacks a piece still
# configures and installs the rest.
#
#   cmake --install <build> --prefix <dir>   program, library, header, package files, man pages
#   cpack -G DEB (in <build>)                 the same as brennic_<version>_<arch>.deb
#   cpack -G ZIP (in a Windows build)         brennic-<version>-win64.zip: the programs and the
#                                             DLL in bin/, the import library in lib/, the
#                                             header, the CMake package, the man pages as
#                                             text and the examples

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(BRENNIC_PKG_ROOT "${CMAKE_CURRENT_LIST_DIR}/..")
set(BRENNIC_PKG_VERSION "${brennic_VERSION}")
if(NOT BRENNIC_PKG_VERSION)
  set(BRENNIC_PKG_VERSION "${PROJECT_VERSION}")
endif()
set(BRENNIC_CMAKE_PACKAGE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/brennic")
set(BRENNIC_PKGCONFIG_DIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
set(BRENNIC_EXAMPLES_DIR "${CMAKE_INSTALL_DOCDIR}/examples")

option(BRENNIC_INSTALL_TESTSERVER "Install the test directory server as brennic-testserver" ON)

# Installed programs find the library relative to themselves, so a prefix can be moved or
# unpacked anywhere ($ORIGIN/../lib for the usual layout).
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(BRENNIC_INSTALL_RPATH "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH _brennic_bin_to_lib "/root/${CMAKE_INSTALL_BINDIR}"
       "/root/${CMAKE_INSTALL_LIBDIR}")
  set(BRENNIC_INSTALL_RPATH "$ORIGIN/${_brennic_bin_to_lib}")
endif()

if(TARGET brennic)
  install(TARGETS brennic EXPORT brennicTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES "${BRENNIC_PKG_ROOT}/lib/include/brennic.h"
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

  # find_package(brennic CONFIG) -> imported target brennic::brennic.
  install(EXPORT brennicTargets
    NAMESPACE brennic::
    FILE brennicTargets.cmake
    DESTINATION ${BRENNIC_CMAKE_PACKAGE_DIR})
  configure_package_config_file(
    "${BRENNIC_PKG_ROOT}/cmake/brennicConfig.cmake.in"
    "${CMAKE_BINARY_DIR}/package/brennicConfig.cmake"
    INSTALL_DESTINATION ${BRENNIC_CMAKE_PACKAGE_DIR}
    PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR)
  # The library keeps its interface within one major version (SOVERSION 1).
  write_basic_package_version_file(
    "${CMAKE_BINARY_DIR}/package/brennicConfigVersion.cmake"
    VERSION ${BRENNIC_PKG_VERSION}
    COMPATIBILITY SameMajorVersion)
  install(FILES
    "${CMAKE_BINARY_DIR}/package/brennicConfig.cmake"
    "${CMAKE_BINARY_DIR}/package/brennicConfigVersion.cmake"
    DESTINATION ${BRENNIC_CMAKE_PACKAGE_DIR})

  # brennic.pc is written at install time, so it names the prefix actually installed into
  # (cmake --install --prefix, or /usr inside the Debian package), not the configured one.
  # A Windows archive is unpacked anywhere, where no fixed prefix holds; it has the CMake
  # package, which finds its files relative to itself.
  if(NOT WIN32)
    set(_brennic_pc_stage "${CMAKE_BINARY_DIR}/package/pkgconfig/brennic.pc")
    install(CODE "
      set(BRENNIC_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
      set(BRENNIC_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
      set(BRENNIC_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
      set(BRENNIC_PC_VERSION \"${BRENNIC_PKG_VERSION}\")
      include(\"${BRENNIC_PKG_ROOT}/cmake/write_pc.cmake\")
      brennic_write_pc(\"${BRENNIC_PKG_ROOT}/cmake/brennic.pc.in\" \"${_brennic_pc_stage}\")
    ")
    install(FILES "${_brennic_pc_stage}" DESTINATION ${BRENNIC_PKGCONFIG_DIR})
  endif()
endif()

if(TARGET brennic_console)
  # The console carries its installed run path from the link on. Rewriting the build tree's
  # path at install would need room for the new one, and CMake makes that room with an empty
  # entry, which the dynamic loader takes for the current directory: a console run from the
  # build tree would load any libc.so.6 lying where it was started. The build tree keeps the
  # library in lib/ beside bin/, so $ORIGIN/../lib is added when the installed layout differs.
  set(_brennic_console_rpath "${BRENNIC_INSTALL_RPATH}")
  if(NOT _brennic_console_rpath STREQUAL "$ORIGIN/../lib")
    string(APPEND _brennic_console_rpath ":$ORIGIN/../lib")
  endif()
  set_target_properties(brennic_console PROPERTIES
    INSTALL_RPATH "${_brennic_console_rpath}" BUILD_WITH_INSTALL_RPATH ON)
  install(TARGETS brennic_console RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The test server is a self-contained program; it helps trying the console out locally.
if(BRENNIC_INSTALL_TESTSERVER AND TARGET brennic-testserver)
  install(TARGETS brennic-testserver RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The PAM module goes where the system's libpam looks for modules named without a path; the
# folder is relative to the prefix (/usr in the Debian package).
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(_brennic_pam_dir_default "lib/${CMAKE_LIBRARY_ARCHITECTURE}/security")
else()
  set(_brennic_pam_dir_default "lib/security")
endif()
set(BRENNIC_PAM_MODULE_DIR "${_brennic_pam_dir_default}" CACHE STRING
  "Folder of PAM modules, relative to the install prefix or absolute")
if(TARGET pam_brennic)
  install(TARGETS pam_brennic LIBRARY DESTINATION ${BRENNIC_PAM_MODULE_DIR})
  install(FILES "${BRENNIC_PKG_ROOT}/docs/pam_brennic.8" DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
endif()

if(WIN32)
  # Windows has no man: the pages are rendered as plain text with CR LF line ends when the
  # build runs, and installed beside the other documents.
  find_program(BRENNIC_GROFF groff)
  if(BRENNIC_GROFF)
    set(_brennic_man_texts)
    foreach(_brennic_page brennic.1 brennic.3)
      set(_brennic_text "${CMAKE_BINARY_DIR}/doc/${_brennic_page}.txt")
      add_custom_command(OUTPUT "${_brennic_text}"
        COMMAND ${CMAKE_COMMAND} -DGROFF=${BRENNIC_GROFF}
          "-DPAGE=${BRENNIC_PKG_ROOT}/docs/${_brennic_page}" "-DTEXT=${_brennic_text}"
          -P "${BRENNIC_PKG_ROOT}/cmake/man_text.cmake"
        DEPENDS "${BRENNIC_PKG_ROOT}/docs/${_brennic_page}" "${BRENNIC_PKG_ROOT}/cmake/man_text.cmake"
        COMMENT "Rendering ${_brennic_page} as text"
        VERBATIM)
      list(APPEND _brennic_man_texts "${_brennic_text}")
    endforeach()
    add_custom_target(brennic_man_text ALL DEPENDS ${_brennic_man_texts})
    install(FILES ${_brennic_man_texts} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  else()
    message(WARNING "groff not found: the Windows package goes without the man pages")
  endif()
else()
  install(FILES "${BRENNIC_PKG_ROOT}/docs/brennic.1" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES "${BRENNIC_PKG_ROOT}/docs/brennic.3" DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
endif()

# The embedding examples, ready to build against the installed package.
install(FILES
  "${BRENNIC_PKG_ROOT}/examples/async_check.c"
  "${BRENNIC_PKG_ROOT}/examples/CMakeLists.txt"
  "${BRENNIC_PKG_ROOT}/examples/Makefile"
  DESTINATION ${BRENNIC_EXAMPLES_DIR})
install(PROGRAMS "${BRENNIC_PKG_ROOT}/examples/check_users.sh"
  DESTINATION ${BRENNIC_EXAMPLES_DIR})

# Packages: cpack in the build directory, a Debian package on Linux, a ZIP archive on Windows.
set(CPACK_PACKAGE_NAME brennic)
set(CPACK_PACKAGE_VERSION "${BRENNIC_PKG_VERSION}")
set(CPACK_PACKAGE_VENDOR "brennic developers")
set(CPACK_PACKAGE_CONTACT "brennic developers <brennic@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Console client and C library for a user-directory and authentication service")
set(CPACK_SOURCE_IGNORE_FILES "/[.]git/" "/build[^/]*/" "/[.]cache/")
if(WIN32)
  # brennic-<version>-win64.zip, its files under one folder of the same name.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  set(CPACK_PACKAGE_FILE_NAME "brennic-${BRENNIC_PKG_VERSION}-${CPACK_SYSTEM_NAME}")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_PACKAGE_DESCRIPTION
    "brennic checks, looks up, creates, modifies, deletes and searches user records on a \
network directory server over an enciphered link, with failover across up to five servers. \
The package holds the brennic console program, the shared library libbrennic with its C \
header, CMake and pkg-config package files, manual pages, embedding examples and the PAM \
module pam_brennic.so for logging in with a directory password.")
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_NAME brennic)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Dependencies come from dpkg-shlibdeps when it is there (dpkg-dev); the package's own
  # library is resolved from the staging tree. Without it the C and C++ runtimes are named by
  # hand. A shlibs entry is written so other packages can depend on the library.
  find_program(BRENNIC_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(BRENNIC_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
  endif()
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
endif()
include(CPack)
