# Every install rule of the project, kept apart from the build: the shared
# library (with its SONAME and the development symlink), the static archive,
# the public headers, the libbbu(3) man page, a pkg-config file and a CMake
# package; battsnap and bbuctl with their man pages and bbuctl's completion;
# bbu-i2cd in sbin/ with its man page and its systemd unit and socket; the
# recorder library; the simulator. All in the places GNUInstallDirs names;
# the preload libraries (no SONAME: no program links them) in the private
# directory LIBDIR/bbu, where bbusim and bbu-i2cd --record look for them.
# debian/ splits them into the packages by these components.
include(CMakePackageConfigHelpers)

set(BBU_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/bbu)

# Components, as the Debian packages split them: the shared library itself ("library"), and what building against it needs
# ("dev": the development symlink, the archive, headers, man page,
# pkg-config and CMake files). bbu-i2cd is one of the "tools", with battsnap
# and bbuctl.
install(TARGETS bbu bbu_static
  EXPORT bbuTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT library)
install(FILES
  ${PROJECT_SOURCE_DIR}/i2c/include/bbu/i2c.h
  ${PROJECT_SOURCE_DIR}/bbu/include/bbu/bbu.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/bbu
  COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/docs/libbbu.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3
  COMPONENT dev)

install(TARGETS battsnap bbuctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/docs/battsnap.8 ${PROJECT_SOURCE_DIR}/docs/bbuctl.8
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
  COMPONENT tools)
# bbuctl's JSON documents: their description and their schema, for programs
# that read them.
install(FILES ${PROJECT_SOURCE_DIR}/docs/json.md ${PROJECT_SOURCE_DIR}/docs/bbuctl.schema.json
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/bbu-tools
  COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/ctl/bbuctl.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME bbuctl
  COMPONENT tools)

set(BBU_SYSTEMD_UNITDIR lib/systemd/system CACHE STRING
  "Where the systemd unit and socket of bbu-i2cd go (relative to the prefix, or absolute)")
if(IS_ABSOLUTE "${BBU_SYSTEMD_UNITDIR}")
  set(BBU_UNIT_DESTINATION "\$ENV{DESTDIR}${BBU_SYSTEMD_UNITDIR}")
else()
  set(BBU_UNIT_DESTINATION "\$ENV{DESTDIR}\${prefix}/${BBU_SYSTEMD_UNITDIR}")
endif()
install(TARGETS bbu-i2cd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT tools)
# The recorder goes where a field machine gets it: with the tools, since
# bbu-i2cd --record preloads it (and bbusim --record finds it there too).
install(TARGETS bbusim_record LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/bbu COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/docs/bbu-i2cd.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
  COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/daemon/bbu-i2cd.socket DESTINATION ${BBU_SYSTEMD_UNITDIR}
  COMPONENT tools)
# The service names the daemon by the prefix given at install time, as bbu.pc does.
if(IS_ABSOLUTE "${CMAKE_INSTALL_SBINDIR}")
  set(BBU_SERVICE_SBINDIR "${CMAKE_INSTALL_SBINDIR}")
else()
  set(BBU_SERVICE_SBINDIR "\${prefix}/${CMAKE_INSTALL_SBINDIR}")
endif()
install(CODE "
  get_filename_component(prefix \"\${CMAKE_INSTALL_PREFIX}\" ABSOLUTE)
  set(BBU_I2CD_SBINDIR \"${BBU_SERVICE_SBINDIR}\")
  set(unit \"${BBU_UNIT_DESTINATION}/bbu-i2cd.service\")
  message(STATUS \"Installing: \${unit}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/daemon/bbu-i2cd.service.in\" \"\${unit}\" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${unit}\")
" COMPONENT tools)

# pkg-config: the prefix is the one given at install time (cmake --install
# --prefix), not the configured one, so a staged install points at itself.
# Everything else is filled in now; the prefix is left as a placeholder.
foreach(dir IN ITEMS LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(BBU_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(BBU_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(BBU_PC_PREFIX "@BBU_PC_PREFIX@")
configure_file(${CMAKE_CURRENT_LIST_DIR}/bbu.pc.in ${PROJECT_BINARY_DIR}/bbu.pc.in @ONLY)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(BBU_PC_DESTINATION "\$ENV{DESTDIR}${CMAKE_INSTALL_LIBDIR}/pkgconfig")
else()
  set(BBU_PC_DESTINATION "\$ENV{DESTDIR}\${BBU_PC_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig")
endif()
# Written straight into the destination, so installs to two prefixes never
# share a generated file. A relative --prefix is taken from the current
# directory, as cmake --install takes it for every other file.
install(CODE "
  get_filename_component(BBU_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\" ABSOLUTE)
  set(bbu_pc \"${BBU_PC_DESTINATION}/bbu.pc\")
  message(STATUS \"Installing: \${bbu_pc}\")
  configure_file(\"${PROJECT_BINARY_DIR}/bbu.pc.in\" \"\${bbu_pc}\" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${bbu_pc}\")
" COMPONENT dev)

# CMake package: find_package(bbu) gives bbu::bbu and bbu::bbu_static.
install(EXPORT bbuTargets
  NAMESPACE bbu::
  DESTINATION ${BBU_INSTALL_CMAKEDIR}
  COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/bbuConfig.cmake.in
  ${PROJECT_BINARY_DIR}/bbuConfig.cmake
  INSTALL_DESTINATION ${BBU_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/bbuConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/bbuConfig.cmake
  ${PROJECT_BINARY_DIR}/bbuConfigVersion.cmake
  DESTINATION ${BBU_INSTALL_CMAKEDIR}
  COMPONENT dev)

# The simulated platform: the launcher, the image maker, the interposer
# library it preloads, and their man pages.
install(TARGETS bbusim bbusim-mkimage RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  COMPONENT simulator)
install(TARGETS bbusim_preload LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/bbu COMPONENT simulator)
install(FILES ${PROJECT_SOURCE_DIR}/docs/bbusim.1 ${PROJECT_SOURCE_DIR}/docs/bbusim-mkimage.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
  COMPONENT simulator)
