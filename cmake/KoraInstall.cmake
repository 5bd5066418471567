# Installing KORA: libkora and the platform stand-in libraries it links, the public headers (the
# step-method table and signature header, and the platform headers they include), kora-run,
# kora-ictc, a CMake package (find_package(Kora): Kora::kora) and a pkg-config file (kora).
# The package configuration is written by hand: it names only the installed files, so that the
# build tree's internal targets never leak into a consumer.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KORA_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Kora)
set(_kora_libraries kora rvo resmgr kora_drivers kora_os)
if(TARGET kora_vbench)
  get_target_property(_vbench_type kora_vbench TYPE)
  if(_vbench_type STREQUAL "SHARED_LIBRARY")
    list(APPEND _kora_libraries kora_vbench)
  endif()
endif()

install(TARGETS ${_kora_libraries} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS kora-run kora-ictc RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/kora/step_methods.h include/kora/step_signatures.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kora)
install(DIRECTORY platform/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kora/platform
        FILES_MATCHING PATTERN "*.h")

configure_package_config_file(cmake/KoraConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/KoraConfig.cmake
                              INSTALL_DESTINATION ${KORA_INSTALL_CMAKEDIR}
                              PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/KoraConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/KoraConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/KoraConfigVersion.cmake
        DESTINATION ${KORA_INSTALL_CMAKEDIR})
configure_file(cmake/kora.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kora.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kora.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# cpack -G DEB: a Debian package of the same files.
set(CPACK_PACKAGE_NAME kora)
set(CPACK_PACKAGE_VENDOR "KORA")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "KORA test method library with its virtual bench")
set(CPACK_PACKAGE_CONTACT "KORA developers <kora@localhost>")
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
