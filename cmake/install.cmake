# Install rules, kept apart from the build: the libraries and the public headers,
# in the places GNUInstallDirs names.
install(TARGETS bbu bbu_static
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES i2c/include/bbu/i2c.h bbu/include/bbu/bbu.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/bbu)
