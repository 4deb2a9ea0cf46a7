# What `cmake --install` puts under CMAKE_INSTALL_PREFIX, split in the
# components the Debian packages carry:
#   runtime  libpesmo6.so.2 and libpesmo6.so.2.0.24
#   dev      libpesmo6.so, pesmo6.h, pesmo6.pc, the CMake package, docs and
#            the Pascal, C# and Python bindings (as sources)
#   tools    pesmo6-demo, pesmo6, pesmo6-sim, pesmo6d (with its systemd unit and
#            example configuration)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS pesmo6 EXPORT Pesmo6Targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/pesmo6.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

# The .pc file finds the prefix from its own place, so a tree installed
# elsewhere (cmake --install --prefix, an unpacked archive) still works.
file(RELATIVE_PATH PESMO6_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" PESMO6_PC_TO_PREFIX "${PESMO6_PC_TO_PREFIX}")
# Under a prefix of its own (cmake --install --prefix DIR, the tarball) the
# library is on no search path of the dynamic loader, so the flags carry a
# run path to it: a host built with them starts as it is.  Under /usr and
# /usr/local (the Debian packages) the loader finds it and the flags stay
# plain.
set(PESMO6_PC_RPATH "")
configure_file(cmake/pesmo6.pc.in ${CMAKE_BINARY_DIR}/pesmo6.pc @ONLY)
set(PESMO6_PC_RPATH " -Wl,-rpath,\${libdir}")
configure_file(cmake/pesmo6.pc.in ${CMAKE_BINARY_DIR}/pc-rpath/pesmo6.pc @ONLY)
install(CODE "
  if(\"\${CMAKE_INSTALL_PREFIX}\" MATCHES \"/usr(/local)?/?$\")
    set(pesmo6_pc \"${CMAKE_BINARY_DIR}/pesmo6.pc\")
  else()
    set(pesmo6_pc \"${CMAKE_BINARY_DIR}/pc-rpath/pesmo6.pc\")
  endif()
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\" TYPE FILE
       FILES \"\${pesmo6_pc}\")
" COMPONENT dev)

set(PESMO6_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Pesmo6)
install(EXPORT Pesmo6Targets NAMESPACE Pesmo6:: DESTINATION ${PESMO6_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(cmake/Pesmo6Config.cmake.in ${CMAKE_BINARY_DIR}/Pesmo6Config.cmake
  INSTALL_DESTINATION ${PESMO6_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/Pesmo6ConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/Pesmo6Config.cmake ${CMAKE_BINARY_DIR}/Pesmo6ConfigVersion.cmake
  DESTINATION ${PESMO6_CMAKE_DIR} COMPONENT dev)

install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT dev)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT dev)
install(DIRECTORY bindings/ DESTINATION ${CMAKE_INSTALL_DATADIR}/pesmo6/bindings COMPONENT dev
  PATTERN "__pycache__" EXCLUDE PATTERN "*.egg-info" EXCLUDE PATTERN "build" EXCLUDE)

# The demo and the field tools find the library beside them in any
# installed tree.
set_target_properties(pesmo6-demo pesmo6-cli PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
install(TARGETS pesmo6-demo pesmo6-cli pesmo6-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)

# ---- Debian packages (make deb) -------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pesmo6)
set(CPACK_PACKAGE_VENDOR "Pesmo6")
set(CPACK_PACKAGE_CONTACT "Pesmo6 developers <pesmo6@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Reads weighing indicators on serial ports and network converters")
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libpesmo6-2)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "Pesmo6 weighing-indicator library\n Reads 7410, KVT, MSI3360, MSI6260, Ohaus and Trilograf indicators on\n local serial ports and through network converters.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libpesmo6-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libpesmo6-2 (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "Pesmo6 weighing-indicator library: development files\n The C header, pkg-config file, CMake package, reference documentation\n and the Python, Pascal and C# bindings.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME pesmo6-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
# Its own dependencies are the library's (libc6, libstdc++6, libgcc-s1),
# and pesmo6d's HTTP, TOML and MQTT libraries.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libpesmo6-2 (= ${PROJECT_VERSION}), libc6, libstdc++6, libgcc-s1, libmicrohttpd12, libtomlplusplus3, libmosquitto1")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "Pesmo6 weighing-indicator library: tools\n pesmo6-demo reads simulated or real indicators through the library;\n pesmo6 reads, watches, traces and scans indicators from the command line;\n pesmo6-sim plays indicators and converters for hosts under development;\n pesmo6d serves scales over HTTP, Server-Sent Events and MQTT.")
include(CPack)
