# The JDK that the library, the host and the tests are built with and run on:
# the one JAVA_HOME names, else Debian's OpenJDK 17, else the javac on PATH.
# The Java classes are compiled with --release 17, so an older JDK is refused.

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

# Another JDK than the last configure's: forget what FindJava and FindJNI cached.
if(DEFINED ZEV_JDK_HOME AND NOT ZEV_JDK_HOME STREQUAL _zev_jdk)
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

# After find_package(Java) and find_package(JNI): both must have found this JDK.
macro(zev_check_jdk_found)
  foreach(_zev_found "${Java_JAVAC_EXECUTABLE}" "${JAVA_INCLUDE_PATH}" "${JAVA_JVM_LIBRARY}")
    get_filename_component(_zev_found_real "${_zev_found}" REALPATH)
    string(FIND "${_zev_found_real}" "${ZEV_JDK_HOME}/" _zev_at)
    if(NOT _zev_at EQUAL 0)
      message(FATAL_ERROR "Found ${_zev_found}, which is not in the JDK ${ZEV_JDK_HOME}")
    endif()
  endforeach()
  message(STATUS "JDK: ${ZEV_JDK_HOME} (Java ${ZEV_JDK_VERSION})")
endmacro()
