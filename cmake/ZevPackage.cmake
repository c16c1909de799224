# What a downstream build finds: a CMake package (lib/cmake/zev) and a
# pkg-config file (lib/pkgconfig/zev.pc), both relative to the prefix they
# are installed in, so that the prefix can be moved; and a Debian package of
# the whole install (make package).
include(CMakePackageConfigHelpers)

configure_package_config_file(cmake/zevConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/zevConfig.cmake
  INSTALL_DESTINATION ${ZEV_INSTALL_CMAKEDIR}
  PATH_VARS ZEV_INSTALL_JARDIR CMAKE_INSTALL_INCLUDEDIR)
# 0.x: a new minor version may change the interface.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/zevConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zevConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/zevConfigVersion.cmake
        DESTINATION ${ZEV_INSTALL_CMAKEDIR})

# The JDK's include directories are absolute: the header needs jni.h and
# jni_md.h, which pkg-config cannot find by itself.
set(ZEV_PC_JNI_CFLAGS "")
foreach(dir ${JAVA_INCLUDE_PATH} ${JAVA_INCLUDE_PATH2})
  string(APPEND ZEV_PC_JNI_CFLAGS " -I${dir}")
endforeach()
string(STRIP "${ZEV_PC_JNI_CFLAGS}" ZEV_PC_JNI_CFLAGS)
configure_file(cmake/zev.pc.in ${CMAKE_CURRENT_BINARY_DIR}/zev.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zev.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libzev)
set(CPACK_PACKAGE_VENDOR "libzev")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "native support library of the ZEV event recorder, its header, jars and reference host")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "libzev developers <libzev@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION java)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The host runs the JVM the build used, through its libjvm.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "openjdk-${ZEV_JDK_MAJOR}-jre-headless | java${ZEV_JDK_MAJOR}-runtime-headless")
include(CPack)
