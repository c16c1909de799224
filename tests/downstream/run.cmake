# One step of the downstream check, run with cmake -P, in a directory of its
# own (WORK/LAYOUT.STEP), so that no two steps share a file:
#   install       cmake --install into WORK/staged, then moved to PREFIX
#   package       cpack's Debian package: its control fields, then unpacked
#                 with dpkg -x into the root whose usr/ is PREFIX
#   find_package  examples/mini_vm configured against PREFIX alone and a
#                 headless JDK, built, and run under -Xcheck:jni
#   pkg_config    the header compiled as C with pkg-config --cflags zev
#   host          PREFIX/bin/zev-host runs a program from outside the build
#                 tree, by its own defaults and with --lib, --zev-jar, --host-jar
set(dir ${WORK}/${LAYOUT}.${STEP})

function(run what)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${dir}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

function(expect text)  # each further argument must be in text
  foreach(wanted ${ARGN})
    string(FIND "${text}" "${wanted}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "no \"${wanted}\" in:\n${text}")
    endif()
  endforeach()
endfunction()

# A JVM program's run: exit status 0, no line of -Xcheck:jni, the expected lines.
function(run_jvm what)
  cmake_parse_arguments(J "" "" "COMMAND;EXPECT" ${ARGN})
  run("${what}" ${J_COMMAND})
  message("${what}:\n${out}")
  if(out MATCHES "WARNING in native method|FATAL ERROR in native method|exceeds capacity|\
JNI local refs")
    message(FATAL_ERROR "${what}: -Xcheck:jni reported \"${CMAKE_MATCH_0}\"")
  endif()
  expect("${out}" ${J_EXPECT})
endfunction()

# What an install holds, below its prefix.
set(installed_files
  lib/libzev.so include/zev/vm_interface.h share/java/zev.jar share/java/zevhost.jar
  bin/zev-host lib/cmake/zev/zevConfig.cmake lib/cmake/zev/zevConfigVersion.cmake
  lib/pkgconfig/zev.pc lib/libzev-host-agent.so)

file(REMOVE_RECURSE ${dir})
file(MAKE_DIRECTORY ${dir})

if(STEP STREQUAL install)
  file(REMOVE_RECURSE ${WORK}/staged ${PREFIX})
  run("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK}/staged)
  file(RENAME ${WORK}/staged ${PREFIX})
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
  get_filename_component(root ${PREFIX} DIRECTORY)
  file(REMOVE_RECURSE ${root})
  run("cpack" cpack -G DEB --config ${BUILD_DIR}/CPackConfig.cmake -B ${dir})
  file(GLOB debs ${dir}/*.deb)
  list(LENGTH debs count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "cpack made ${count} .deb files: ${debs}")
  endif()
  run("dpkg-deb -f" dpkg-deb -f ${debs} Package Version Depends)
  expect("${out}" "Package: libzev" "Version: ${VERSION}"
         "openjdk-${JDK_MAJOR}-jre-headless | java${JDK_MAJOR}-runtime-headless")
  run("dpkg -x" dpkg -x ${debs} ${root})

elseif(STEP STREQUAL find_package)
  # A headless JDK, all that Debian's openjdk-17-jdk-headless gives: the
  # build's JDK without lib/libjawt.so (links to the rest), and every
  # libjawt.so of this machine out of CMake's reach.
  set(jdk ${dir}/jdk)
  file(GLOB top RELATIVE ${JDK} ${JDK}/*)
  file(GLOB libs RELATIVE ${JDK} ${JDK}/lib/*)
  list(REMOVE_ITEM top lib)
  list(REMOVE_ITEM libs lib/libjawt.so)
  file(MAKE_DIRECTORY ${jdk}/lib)
  foreach(entry ${top} ${libs})
    file(CREATE_LINK ${JDK}/${entry} ${jdk}/${entry} SYMBOLIC)
  endforeach()
  file(GLOB jawts /usr/lib/jvm/*/lib/libjawt.so /usr/lib/*/libjawt.so /usr/lib/libjawt.so)
  foreach(jawt ${jawts})
    get_filename_component(jawt_dir ${jawt} DIRECTORY)
    get_filename_component(real ${jawt_dir} REALPATH)
    list(APPEND hidden ${jawt_dir} ${real})
  endforeach()
  string(REPLACE ";" "\\;" hidden "${hidden}")
  set(ENV{JAVA_HOME} ${jdk})
  run("configuring the example against a headless JDK" ${CMAKE_COMMAND} -S ${EXAMPLE}
      -B ${dir}/build -DCMAKE_PREFIX_PATH=${PREFIX} -DCMAKE_BUILD_TYPE=RelWithDebInfo
      "-DCMAKE_IGNORE_PATH=${hidden}")
  # JNI from that JDK, and the package under PREFIX, not one the machine has.
  file(STRINGS ${dir}/build/CMakeCache.txt cache REGEX "^(JAVA_INCLUDE_PATH|zev_DIR):")
  expect("${cache}" "JAVA_INCLUDE_PATH:PATH=${jdk}/" "zev_DIR:PATH=${PREFIX}/lib/cmake/zev")
  run("building the example" ${CMAKE_COMMAND} --build ${dir}/build)
  run_jvm("the example's VM side" COMMAND ${dir}/build/mini_vm -Xcheck:jni
          EXPECT "vm log 5: Loaded ZEV library" "mini_vm: PASS")

elseif(STEP STREQUAL pkg_config)
  set(ENV{PKG_CONFIG_PATH} ${PREFIX}/lib/pkgconfig)
  run("pkg-config --exact-version" pkg-config --exact-version=${VERSION} zev)
  run("pkg-config --variable=jar" pkg-config --variable=jar zev)
  string(STRIP "${out}" jar)
  if(NOT EXISTS "${jar}")
    message(FATAL_ERROR "pkg-config names the jar ${jar}, which is not there")
  endif()
  run("pkg-config --cflags" pkg-config --cflags zev)
  separate_arguments(cflags UNIX_COMMAND "${out}")
  run("compiling the header as C" ${C_COMPILER} -std=c11 -Wall -Wextra -Werror -pedantic
      ${cflags} -c ${CMAKE_CURRENT_LIST_DIR}/header_in_c.c -o ${dir}/header_in_c.o)

elseif(STEP STREQUAL host)
  # The program comes from outside the build tree, as an application's would.
  file(COPY ${APP_JAR} ${PREFIX}/lib/libzev.so ${PREFIX}/share/java/zev.jar
            ${PREFIX}/share/java/zevhost.jar DESTINATION ${dir})
  get_filename_component(app ${APP_JAR} NAME)
  run_jvm("the installed zev-host" COMMAND ${PREFIX}/bin/zev-host -Xcheck:jni --verbose
              -cp ${dir}/${app} downstream.InstalledHost
              ${PREFIX}/lib/libzev.so ${PREFIX}/share/java/zev.jar ${PREFIX}/share/java/zevhost.jar
          EXPECT "InstalledHost: PASS" "redefinition capabilities held from the VM's start: \
${PREFIX}/lib/libzev-host-agent.so")
  run_jvm("the installed zev-host with --lib, --zev-jar, --host-jar"
          COMMAND ${PREFIX}/bin/zev-host -Xcheck:jni --lib ${dir}/libzev.so
              --zev-jar ${dir}/zev.jar --host-jar ${dir}/zevhost.jar
              -cp ${dir}/${app} downstream.InstalledHost
              ${dir}/libzev.so ${dir}/zev.jar ${dir}/zevhost.jar
          EXPECT "InstalledHost: PASS")

else()
  message(FATAL_ERROR "unknown STEP ${STEP}")
endif()

# Where a layout is made, everything an install holds is below its prefix.
if(STEP MATCHES "^(install|package)$")
  foreach(f ${installed_files})
    if(NOT EXISTS ${PREFIX}/${f})
      message(FATAL_ERROR "${PREFIX}/${f} is missing")
    endif()
  endforeach()
endif()
