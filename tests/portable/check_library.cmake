# What the built library asks of the machine that loads it, run with cmake -P:
#   STEP=runtime  LIBRARY=libzev.so [README=README.md]
#                 it needs the C runtime alone (no libstdc++, no libgcc_s), and
#                 the newest glibc symbol version it binds is the one the README names
#   STEP=pe       LIBRARY=zev.dll HEADERS=<javac's native headers> OBJDUMP=...
#                 its export table is exactly JNI_OnLoad and the natives that the
#                 Java classes declare, and it imports system DLLs alone
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${rc}): ${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

if(STEP STREQUAL runtime)
  if(NOT READELF)
    set(READELF readelf)
  endif()
  if(NOT OBJDUMP)
    set(OBJDUMP objdump)
  endif()
  run(${READELF} -d ${LIBRARY})
  string(REGEX MATCHALL "Shared library: \\[[^]]*\\]" needed "${out}")
  string(REPLACE "Shared library: " "" needed "${needed}")
  message("needed: ${needed}")
  if(needed MATCHES "libstdc\\+\\+|libgcc_s|libc\\+\\+")
    message(FATAL_ERROR "${LIBRARY} needs ${CMAKE_MATCH_0}: it must need the C runtime alone")
  endif()
  # Undefined C++ runtime symbols: --as-needed would drop the library that has
  # them only if nothing called it, so they would show above; named here too.
  # Weak references (crtstuff's, libstdc++'s inline bits) may stay unbound,
  # and glibc has some of those names too (__cxa_atexit).
  run(${OBJDUMP} -T ${LIBRARY})
  string(REGEX MATCHALL "[^\n]*\\*UND\\*[^\n]*" cxx "${out}")
  list(FILTER cxx EXCLUDE REGEX "GLIBC_|^[0-9a-f]+  w ")
  list(FILTER cxx INCLUDE REGEX
       " (_Z[A-Za-z0-9_]*|__cxa_[a-z_]*|__gxx_personality_v0|_Unwind_[A-Za-z]*)$")
  if(cxx)
    message(FATAL_ERROR "${LIBRARY} calls into the C++ runtime: ${cxx}")
  endif()
  # The oldest glibc that has every symbol version the library binds.
  string(REGEX MATCHALL "\\(GLIBC_[0-9.]+\\)" versions "${out}")
  list(TRANSFORM versions REPLACE "\\(GLIBC_(.*)\\)" "\\1")
  list(SORT versions COMPARE NATURAL)
  list(GET versions -1 floor)
  message("oldest glibc: ${floor}")
  if(DEFINED README)
    file(READ ${README} text)
    string(FIND "${text}" "needs glibc ${floor} or later" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "${README} does not say \"needs glibc ${floor} or later\"")
    endif()
  endif()

elseif(STEP STREQUAL pe)
  run(${OBJDUMP} -p ${LIBRARY})
  # The export table: from its heading to the first empty line.
  string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[^\n]*\n([^\n]+\n)*" table "${out}")
  string(REGEX MATCHALL "\\[ *[0-9]+\\] [A-Za-z0-9_]+" exported "${table}")
  list(TRANSFORM exported REPLACE "^\\[ *[0-9]+\\] " "")
  file(GLOB headers ${HEADERS}/*.h)
  set(expected JNI_OnLoad)
  foreach(h ${headers})
    file(STRINGS ${h} lines REGEX "JNICALL Java_")
    list(APPEND expected ${lines})
  endforeach()
  list(TRANSFORM expected REPLACE ".*JNICALL (Java_[A-Za-z0-9_]+).*" "\\1")
  list(SORT exported)
  list(SORT expected)
  list(LENGTH exported count)
  message("exports (${count}): ${exported}")
  if(NOT exported STREQUAL expected)
    message(FATAL_ERROR "${LIBRARY} exports\n  ${exported}\nnot\n  ${expected}")
  endif()
  # Nothing of the toolchain's runtime (libstdc++-6, libgcc_s_seh-1,
  # libwinpthread-1) needs to be shipped beside it.
  string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${out}")
  list(TRANSFORM imports REPLACE "DLL Name: " "")
  message("imports: ${imports}")
  string(TOLOWER "${imports}" foreign)
  list(FILTER foreign EXCLUDE REGEX "^(kernel32|msvcrt|ucrtbase|api-ms-win-.*)\\.dll$")
  if(foreign)
    message(FATAL_ERROR "${LIBRARY} imports ${foreign}, which Windows does not have")
  endif()

else()
  message(FATAL_ERROR "unknown STEP ${STEP}")
endif()
