# Debian packages, built with `cpack -G DEB` in a build tree, split as a
# distribution splits a library and its tools:
#
#   libbbu0     the shared library, its SONAME in the package name
#   libbbu-dev  headers, development symlink, static archive, pkg-config and
#               CMake files, libbbu(3)
#   bbu-tools   battsnap, bbuctl and bbu-i2cd (with its systemd unit and socket),
#               their man pages, bbuctl's completion, and the recorder
#               libbbusim-record.so that bbu-i2cd --record and bbusim --record
#               preload, so that a field machine has it with the product;
#               bbuctl's JSON schema, and the Ansible collection
#   bbusim      the simulated platform: launcher, interposer, bbusim-mkimage,
#               bbusim(1) and bbusim-mkimage(1)
#
# Each package holds the install component of the same role (cmake/install.cmake,
# tool/, ctl/, sim/). The library dependencies on the C and C++ runtimes
# come from dpkg-shlibdeps; the ones between the packages are pinned to this
# version. Each description's first line is its package's summary.
set(CPACK_PACKAGE_NAME bbu)
set(CPACK_PACKAGE_VENDOR "bbu")
set(CPACK_PACKAGE_CONTACT "bbu maintainers <root@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")  # the components' own first lines instead
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Installed to /usr through DESTDIR, so that what is written with the prefix
# in it (bbu.pc) names /usr, not the staging directory.
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_GENERATOR DEB)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL library dev tools simulator)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds libbbu.so.0 in the library's staging directory beside
# the tools' (the dependency on it is the pinned one below).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ../library/usr/${CMAKE_INSTALL_LIBDIR})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(BBU_DEB_VERSION "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
set(BBU_LIBRARY_PACKAGE libbbu${PROJECT_VERSION_MAJOR})

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME ${BBU_LIBRARY_PACKAGE})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "battery backup unit (BBU) service library
I2C transfers and the trace log, the BBU's checksums, general status reads,
displays and checks, VPD and the indicator light, as plain C functions.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libbbu-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${BBU_LIBRARY_PACKAGE} (= ${BBU_DEB_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION "battery backup unit (BBU) service library - development files
Headers, static library, pkg-config and CMake package files and the
libbbu(3) man page.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME bbu-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${BBU_LIBRARY_PACKAGE} (= ${BBU_DEB_VERSION})")
# bbuctl's completion is sourced by bash-completion's loader.
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS bash-completion)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "battery backup unit (BBU) service tools
battsnap captures the BBU's state save; bbuctl runs the service library's
operations at the shell and decodes battsnap's record files; bbu-i2cd, the
I2C access daemon, serves the library's socket client. The recorder library
writes down a program's conversation on the adapter for bbu-i2cd --record
and bbusim --record. The Ansible collection bbu.tools (share/bbu/ansible)
rolls firmware out to a fleet in stages over bbuctl's JSON documents.")

set(CPACK_DEBIAN_SIMULATOR_PACKAGE_NAME bbusim)
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_SECTION devel)
# bbusim --record preloads the recorder that the tools' package holds.
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_RECOMMENDS bbu-tools)
set(CPACK_DEBIAN_SIMULATOR_DESCRIPTION "simulated battery backup unit (BBU) I2C platform
Runs unmodified i2c-dev programs against a simulated BBU, VPD EEPROM and
real-time clock, with virtual time, fault injection and a bus transcript.")

include(CPack)
