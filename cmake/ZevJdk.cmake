# The JDK that the library, the host and the tests are built with and run on:
# the one JAVA_HOME names, else Debian's OpenJDK 17, else the javac on PATH.
# The Java classes are compiled with --release 17, so an older JDK is refused.
#
# Cross builds take two JDKs: the target's (jni.h, jni_md.h, libjvm), named by
# ZEV_TARGET_JDK, and the build machine's for javac and jar (JAVA_HOME's, or
# Debian's OpenJDK 17), whose programs run here. For Windows, which has no
# JDK on this machine, the target's headers are the build machine's jni.h and
# a jni_md.h written here from the types that JNI documents for Windows.

set(_zev_jdk "$ENV{JAVA_HOME}")
if(_zev_jdk STREQUAL "" AND EXISTS /usr/lib/jvm/java-17-openjdk-amd64)
  set(_zev_jdk /usr/lib/jvm/java-17-openjdk-amd64)
endif()
if(_zev_jdk STREQUAL "")
  find_program(_zev_javac_on_path javac)
  if(_zev_javac_on_path)
    get_filename_component(_zev_javac_on_path "${_zev_javac_on_path}" REALPATH)
    get_filename_component(_zev_jdk "${_zev_javac_on_path}/../.." ABSOLUTE)
  endif()
  unset(_zev_javac_on_path CACHE)
endif()
if(_zev_jdk STREQUAL "")
  message(FATAL_ERROR "No JDK found: set JAVA_HOME to a JDK 17 or later")
endif()
get_filename_component(_zev_jdk "${_zev_jdk}" REALPATH)

if(NOT EXISTS "${_zev_jdk}/bin/javac" OR NOT EXISTS "${_zev_jdk}/include/jni.h")
  message(FATAL_ERROR "JAVA_HOME=${_zev_jdk} is not a JDK (no bin/javac or include/jni.h)")
endif()
set(_zev_jdk_version "")
if(EXISTS "${_zev_jdk}/release")
  file(STRINGS "${_zev_jdk}/release" _zev_release REGEX "^JAVA_VERSION=")
  string(REGEX REPLACE "^JAVA_VERSION=\"?([^\"]*)\"?$" "\\1" _zev_jdk_version "${_zev_release}")
endif()
if(_zev_jdk_version STREQUAL "")
  message(FATAL_ERROR "JAVA_HOME=${_zev_jdk}: no JAVA_VERSION in its release file")
endif()
# "1.8.0_392" is Java 8, "17.0.15" Java 17.
if(_zev_jdk_version MATCHES "^1\\.([0-9]+)")
  set(ZEV_JDK_MAJOR ${CMAKE_MATCH_1})
else()
  string(REGEX MATCH "^[0-9]+" ZEV_JDK_MAJOR "${_zev_jdk_version}")
endif()
if(ZEV_JDK_MAJOR LESS 17)
  message(FATAL_ERROR "JAVA_HOME=${_zev_jdk} is Java ${_zev_jdk_version}; "
                      "libzev needs a JDK 17 or later")
endif()

set(ZEV_JAVA_TOOLS_HOME "${_zev_jdk}")
if(CMAKE_CROSSCOMPILING)
  if(WIN32)
    set(_zev_jni_md_dir "${CMAKE_BINARY_DIR}/jni-win32")
    file(WRITE "${_zev_jni_md_dir}/jni_md.h" [=[
/* jni_md.h for Windows x64, written by libzev's build from the types that
   JNI documents for Windows. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_
#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall
typedef long jint;
typedef __int64 jlong;
typedef signed char jbyte;
#endif
]=])
    set(JAVA_INCLUDE_PATH "${_zev_jdk}/include" CACHE PATH "jni.h" FORCE)
    set(JAVA_INCLUDE_PATH2 "${_zev_jni_md_dir}" CACHE PATH "jni_md.h" FORCE)
    set(JAVA_AWT_INCLUDE_PATH "${_zev_jdk}/include" CACHE PATH "jawt.h" FORCE)
  else()
    if(NOT ZEV_TARGET_JDK OR NOT EXISTS "${ZEV_TARGET_JDK}/include/jni.h")
      message(FATAL_ERROR
        "A cross build needs -DZEV_TARGET_JDK=<the target's JDK> (${ZEV_TARGET_JDK})")
    endif()
    get_filename_component(_zev_target_jdk "${ZEV_TARGET_JDK}" REALPATH)
    set(JAVA_INCLUDE_PATH "${_zev_target_jdk}/include" CACHE PATH "jni.h" FORCE)
    set(JAVA_INCLUDE_PATH2 "${_zev_target_jdk}/include/linux" CACHE PATH "jni_md.h" FORCE)
    set(JAVA_AWT_INCLUDE_PATH "${_zev_target_jdk}/include" CACHE PATH "jawt.h" FORCE)
    set(JAVA_JVM_LIBRARY "${_zev_target_jdk}/lib/server/libjvm.so" CACHE FILEPATH "libjvm" FORCE)
  endif()
  # The build machine's programs, which FindJava would otherwise look for
  # among the target's.
  foreach(_zev_tool java javac jar javadoc)
    string(TOUPPER ${_zev_tool} _zev_upper)
    set(Java_${_zev_upper}_EXECUTABLE "${_zev_jdk}/bin/${_zev_tool}" CACHE FILEPATH "" FORCE)
  endforeach()
  set(_zev_jdk "${ZEV_TARGET_JDK}")
  if(WIN32)
    set(_zev_jdk "${ZEV_JAVA_TOOLS_HOME}")
  endif()
  get_filename_component(_zev_jdk "${_zev_jdk}" REALPATH)
endif()

# Another JDK than the last configure's: forget what FindJava and FindJNI cached.
if(NOT CMAKE_CROSSCOMPILING AND DEFINED ZEV_JDK_HOME AND NOT ZEV_JDK_HOME STREQUAL _zev_jdk)
  foreach(v Java_JAVA_EXECUTABLE Java_JAVAC_EXECUTABLE Java_JAR_EXECUTABLE
            Java_JAVADOC_EXECUTABLE Java_JAVAH_EXECUTABLE Java_IDLJ_EXECUTABLE
            Java_JARSIGNER_EXECUTABLE JAVA_INCLUDE_PATH JAVA_INCLUDE_PATH2
            JAVA_AWT_INCLUDE_PATH JAVA_AWT_LIBRARY JAVA_JVM_LIBRARY)
    unset(${v} CACHE)
  endforeach()
endif()
set(ZEV_JDK_HOME "${_zev_jdk}" CACHE INTERNAL "The JDK of the build")
set(ZEV_JDK_VERSION "${_zev_jdk_version}")
set(JAVA_HOME "${_zev_jdk}")
set(ENV{JAVA_HOME} "${_zev_jdk}")
set(ZEV_JAVA_TOOLS_HOME "${ZEV_JAVA_TOOLS_HOME}" CACHE INTERNAL
    "The JDK whose javac and jar the build runs")

# After find_package(Java) and find_package(JNI): both must have found this JDK.
macro(zev_check_jdk_found)
  set(_zev_in_target "${JAVA_INCLUDE_PATH}")
  if(NOT ZEV_LIBRARY_ONLY)
    list(APPEND _zev_in_target "${JAVA_JVM_LIBRARY}")
  endif()
  foreach(_zev_found ${_zev_in_target} "${Java_JAVAC_EXECUTABLE}")
    set(_zev_home "${ZEV_JDK_HOME}")
    if(_zev_found STREQUAL "${Java_JAVAC_EXECUTABLE}")
      set(_zev_home "${ZEV_JAVA_TOOLS_HOME}")
    endif()
    get_filename_component(_zev_found_real "${_zev_found}" REALPATH)
    string(FIND "${_zev_found_real}" "${_zev_home}/" _zev_at)
    if(NOT _zev_at EQUAL 0)
      message(FATAL_ERROR "Found ${_zev_found}, which is not in the JDK ${_zev_home}")
    endif()
  endforeach()
  message(STATUS "JDK: ${ZEV_JDK_HOME} (Java ${ZEV_JDK_VERSION})")
  if(NOT ZEV_JAVA_TOOLS_HOME STREQUAL ZEV_JDK_HOME)
    message(STATUS "javac and jar: ${ZEV_JAVA_TOOLS_HOME}")
  endif()
endmacro()
