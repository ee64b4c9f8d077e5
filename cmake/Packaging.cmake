# Installation: libsignalpattern.so with its versioned soname, the public headers, a CMake
# package (find_package(SignalPattern) gives SignalPattern::signalpattern), a pkg-config file
# (signalpattern.pc) and the sigpat tool.
#
#   cmake --install build [--prefix DIR]
#
# Headers go to include/signalpattern/, so clients write #include "SignalPattern.h" with that
# directory on their include path (both the CMake package and pkg-config set it).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(SP_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/signalpattern)
set(SP_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/SignalPattern)

install(TARGETS signalpattern EXPORT SignalPatternTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${SP_INSTALL_INCLUDEDIR})
file(GLOB SP_PUBLIC_HEADERS ${PROJECT_SOURCE_DIR}/include/*.h)
install(FILES ${SP_PUBLIC_HEADERS} DESTINATION ${SP_INSTALL_INCLUDEDIR})

install(EXPORT SignalPatternTargets NAMESPACE SignalPattern:: DESTINATION ${SP_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/SignalPatternConfig.cmake.in
  ${PROJECT_BINARY_DIR}/SignalPatternConfig.cmake
  INSTALL_DESTINATION ${SP_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/SignalPatternConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/SignalPatternConfig.cmake ${PROJECT_BINARY_DIR}/SignalPatternConfigVersion.cmake
  DESTINATION ${SP_INSTALL_CMAKEDIR})

# The pkg-config file finds the prefix from its own location, so the installed tree can be
# moved (and installed with --prefix) without editing it.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(SP_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH SP_PC_UP "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  set(SP_PC_PREFIX "\${pcfiledir}/${SP_PC_UP}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/signalpattern.pc.in ${PROJECT_BINARY_DIR}/signalpattern.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/signalpattern.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(TARGET sigpat)
  install(TARGETS sigpat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET sigpat-ffmpeg)
  install(TARGETS sigpat-ffmpeg LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/sigpat)
endif()
