# One step of the downstream test, run with cmake -P:
#   install       cmake --install into WORK/staged, then moved to PREFIX (WORK/moved)
#   package       cpack's Debian package: its contents and dependencies, then
#                 unpacked with dpkg -x into the root whose usr/ is PREFIX
#   find_package  the consumer project configured against PREFIX alone, built, and
#                 its VM side run under -Xcheck:jni
#   pkg_config    the header compiled as C with pkg-config --cflags zev
#   host          PREFIX/bin/zev-host runs a program from outside the build tree,
#                 by its own defaults and with --lib, --zev-jar and --host-jar,
#                 and refuses --fail: the failure injector is the tests' alone
foreach(v STEP BUILD_DIR WORK PREFIX CONSUMER APP_JAR C_COMPILER VERSION JDK_MAJOR JDK)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "run.cmake needs -D${v}=...")
  endif()
endforeach()

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

# A JVM program's run: exit status 0, no line of -Xcheck:jni, and the
# expected lines.
function(run_jvm what)
  cmake_parse_arguments(J "" "" "COMMAND;EXPECT" ${ARGN})
  execute_process(COMMAND ${J_COMMAND} WORKING_DIRECTORY ${WORK}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  message("${what}:\n${out}")
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} exited with ${rc}")
  endif()
  foreach(warning "WARNING in native method" "FATAL ERROR in native method"
                  "exceeds capacity" "JNI local refs")
    string(FIND "${out}" "${warning}" at)
    if(NOT at EQUAL -1)
      message(FATAL_ERROR "${what}: -Xcheck:jni reported \"${warning}\"")
    endif()
  endforeach()
  foreach(line ${J_EXPECT})
    string(FIND "${out}" "${line}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "${what}: no \"${line}\" in its output")
    endif()
  endforeach()
endfunction()

# What an install must hold, below its prefix.
set(installed_files
  lib/libzev.so include/zev/vm_interface.h share/java/zev.jar share/java/zevhost.jar
  bin/zev-host lib/cmake/zev/zevConfig.cmake lib/cmake/zev/zevConfigVersion.cmake
  lib/pkgconfig/zev.pc lib/libzev-host-agent.so)

# Marks of the tests' failure injector, none of which an install may carry:
# its JNI table and messages in the host, its classes in the host's jar.
set(injector_marks "SetJNIFunctionTable" "injected by zev-host" "armFailures"
                   "FailureReport" "zev_library_entries")

function(expect_installed prefix)
  foreach(f ${installed_files})
    if(NOT EXISTS ${prefix}/${f})
      message(FATAL_ERROR "${prefix}/${f} is missing")
    endif()
  endforeach()
  file(GLOB_RECURSE all RELATIVE ${prefix} ${prefix}/*)
  foreach(f ${all})
    if(f MATCHES "zevinject|zev-host-test|failure")
      message(FATAL_ERROR "${prefix}/${f}: the failure injector is installed")
    endif()
  endforeach()
  foreach(f bin/zev-host share/java/zevhost.jar)
    foreach(mark ${injector_marks})
      file(STRINGS ${prefix}/${f} found LIMIT_COUNT 1 REGEX "${mark}")
      if(found)
        message(FATAL_ERROR "${prefix}/${f} holds \"${mark}\": the failure injector is installed")
      endif()
    endforeach()
  endforeach()
endfunction()

if(STEP STREQUAL install)
  file(REMOVE_RECURSE ${WORK}/staged ${WORK}/moved)
  run("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK}/staged)
  file(RENAME ${WORK}/staged ${PREFIX})
  expect_installed(${PREFIX})
  # Nothing installed may name the prefix it was installed into.
  file(GLOB_RECURSE texts ${PREFIX}/lib/cmake/*.cmake ${PREFIX}/lib/pkgconfig/*.pc)
  foreach(f ${texts})
    file(READ ${f} text)
    string(FIND "${text}" "${WORK}/staged" at)
    if(NOT at EQUAL -1)
      message(FATAL_ERROR "${f} names the install prefix ${WORK}/staged")
    endif()
  endforeach()

elseif(STEP STREQUAL package)
  file(REMOVE_RECURSE ${WORK}/deb ${WORK}/root)
  run("cpack" cpack -G DEB --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK}/deb)
  file(GLOB debs ${WORK}/deb/*.deb)
  list(LENGTH debs count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "cpack made ${count} .deb files: ${debs}")
  endif()
  run("dpkg-deb -c" dpkg-deb -c ${debs})
  if(out MATCHES "zevinject|zev-host-test|failure")
    message(FATAL_ERROR "the package holds the failure injector:\n${out}")
  endif()
  foreach(f ${installed_files})
    string(FIND "${out}" " ./usr/${f}\n" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "the package lacks /usr/${f}:\n${out}")
    endif()
  endforeach()
  run("dpkg-deb -f" dpkg-deb -f ${debs} Package Version Depends)
  message("${out}")
  foreach(field "Package: libzev" "Version: ${VERSION}"
                "openjdk-${JDK_MAJOR}-jre-headless | java${JDK_MAJOR}-runtime-headless")
    string(FIND "${out}" "${field}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "the package's control has no \"${field}\"")
    endif()
  endforeach()
  run("dpkg -x" dpkg -x ${debs} ${WORK}/root)
  expect_installed(${PREFIX})

elseif(STEP STREQUAL find_package)
  get_filename_component(label ${PREFIX} NAME)
  set(build ${WORK}/consumer-${label})
  file(REMOVE_RECURSE ${build})
  # A headless JDK, all that Debian's openjdk-17-jdk-headless gives: the
  # build's JDK without lib/libjawt.so (links to the rest), and every
  # libjawt.so of this machine's JDKs out of CMake's reach.
  set(jdk ${WORK}/headless-jdk)
  file(REMOVE_RECURSE ${jdk})
  file(MAKE_DIRECTORY ${jdk}/lib)
  file(GLOB top RELATIVE ${JDK} ${JDK}/*)
  foreach(entry ${top})
    if(NOT entry STREQUAL lib)
      file(CREATE_LINK ${JDK}/${entry} ${jdk}/${entry} SYMBOLIC)
    endif()
  endforeach()
  file(GLOB libs RELATIVE ${JDK}/lib ${JDK}/lib/*)
  foreach(entry ${libs})
    if(NOT entry STREQUAL libjawt.so)
      file(CREATE_LINK ${JDK}/lib/${entry} ${jdk}/lib/${entry} SYMBOLIC)
    endif()
  endforeach()
  file(GLOB jawts /usr/lib/jvm/*/lib/libjawt.so /usr/lib/*/libjawt.so /usr/lib/libjawt.so)
  set(hidden "")
  foreach(jawt ${jawts})
    get_filename_component(dir ${jawt} DIRECTORY)
    get_filename_component(real ${dir} REALPATH)
    list(APPEND hidden ${dir} ${real})
  endforeach()
  list(REMOVE_DUPLICATES hidden)
  string(REPLACE ";" "\\;" hidden "${hidden}")
  set(ENV{JAVA_HOME} ${jdk})
  run("configuring the consumer against a headless JDK" ${CMAKE_COMMAND} -S ${CONSUMER} -B ${build}
      -DCMAKE_PREFIX_PATH=${PREFIX} -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_IGNORE_PATH=${hidden}")
  # JNI came from that JDK.
  file(STRINGS ${build}/CMakeCache.txt include_path REGEX "^JAVA_INCLUDE_PATH:")
  string(FIND "${include_path}" "${jdk}/" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the consumer found ${include_path}, not the headless JDK ${jdk}")
  endif()
  # The package found must be the one under PREFIX, not one the machine has.
  file(STRINGS ${build}/CMakeCache.txt zev_dir REGEX "^zev_DIR:")
  get_filename_component(expected ${PREFIX}/lib/cmake/zev REALPATH)
  string(REGEX REPLACE "^zev_DIR:[A-Z]*=" "" zev_dir "${zev_dir}")
  get_filename_component(zev_dir "${zev_dir}" REALPATH)
  if(NOT zev_dir STREQUAL expected)
    message(FATAL_ERROR "find_package(zev) found ${zev_dir}, not ${expected}")
  endif()
  run("building the consumer" ${CMAKE_COMMAND} --build ${build})
  run_jvm("the consumer's VM side" COMMAND ${build}/mini_vm
          EXPECT "vm log 5: Loaded ZEV library"
                 "check_recording -> Recording 1 \"downstream\" is running"
                 "mini_vm: PASS")

elseif(STEP STREQUAL pkg_config)
  set(ENV{PKG_CONFIG_PATH} ${PREFIX}/lib/pkgconfig)
  run("pkg-config --modversion" pkg-config --modversion zev)
  string(STRIP "${out}" version)
  if(NOT version STREQUAL VERSION)
    message(FATAL_ERROR "pkg-config says version ${version}, not ${VERSION}")
  endif()
  run("pkg-config --variable=jar" pkg-config --variable=jar zev)
  string(STRIP "${out}" jar)
  if(NOT EXISTS "${jar}")
    message(FATAL_ERROR "pkg-config's jar ${jar} does not exist")
  endif()
  run("pkg-config --cflags" pkg-config --cflags zev)
  separate_arguments(cflags UNIX_COMMAND "${out}")
  get_filename_component(label ${PREFIX} NAME)
  run("compiling the header as C" ${C_COMPILER} -std=c11 -Wall -Wextra -Werror -pedantic
      ${cflags} -c ${CONSUMER}/header_in_c.c -o ${WORK}/header_in_c-${label}.o)

elseif(STEP STREQUAL host)
  # The program comes from outside the build tree, as an application's would.
  get_filename_component(label ${PREFIX} NAME)
  set(app ${WORK}/app-${label})
  file(REMOVE_RECURSE ${app})
  file(COPY ${APP_JAR} DESTINATION ${app})
  get_filename_component(app_jar ${APP_JAR} NAME)
  run_jvm("the installed zev-host" COMMAND ${PREFIX}/bin/zev-host -Xcheck:jni --verbose
              -cp ${app}/${app_jar} downstream.InstalledHost
              ${PREFIX}/lib/libzev.so ${PREFIX}/share/java/zev.jar
              ${PREFIX}/share/java/zevhost.jar
          EXPECT "InstalledHost: PASS"
                 "redefinition capabilities held from the VM's start: ${PREFIX}/lib/libzev-host-agent.so")
  # The options still win over the prefix's own files.
  file(COPY ${PREFIX}/lib/libzev.so ${PREFIX}/share/java/zev.jar
            ${PREFIX}/share/java/zevhost.jar DESTINATION ${app}/elsewhere)
  run_jvm("the installed zev-host with --lib, --zev-jar, --host-jar"
          COMMAND ${PREFIX}/bin/zev-host -Xcheck:jni --lib ${app}/elsewhere/libzev.so
              --zev-jar ${app}/elsewhere/zev.jar --host-jar ${app}/elsewhere/zevhost.jar
              -cp ${app}/${app_jar} downstream.InstalledHost
              ${app}/elsewhere/libzev.so ${app}/elsewhere/zev.jar ${app}/elsewhere/zevhost.jar
          EXPECT "InstalledHost: PASS")
  # --fail is the tests' host's: the installed one refuses it before starting a JVM.
  execute_process(COMMAND ${PREFIX}/bin/zev-host --fail 1 -cp ${app}/${app_jar}
                      downstream.InstalledHost
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  string(FIND "${out}" "zev-host: unknown option --fail" at)
  if(NOT rc EQUAL 2 OR at EQUAL -1)
    message(FATAL_ERROR "the installed zev-host --fail 1 exited with ${rc}:\n${out}")
  endif()
  string(FIND "${out}" "--fail PLAN" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "the installed zev-host's usage offers --fail:\n${out}")
  endif()

else()
  message(FATAL_ERROR "unknown STEP ${STEP}")
endif()
