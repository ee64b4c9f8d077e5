# Installs the build tree into WORK_DIR/prefix and proves the installed package works: the
# example client is configured with find_package(SignalPattern), built and run; it is also
# compiled with the flags of the pkg-config file; the installed sigpat runs.
cmake_minimum_required(VERSION 3.25)

function(run)
  cmake_parse_arguments(R "" "" "COMMAND" ${ARGN})
  execute_process(COMMAND ${R_COMMAND} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${R_COMMAND}\n${out}\n${err}")
  endif()
  set(RUN_OUTPUT "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
set(flags "")
if(SANITIZE)
  set(flags -fsanitize=address,undefined)
endif()

run(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# The library with its versioned soname.
file(GLOB libs ${prefix}/lib*/libsignalpattern.so* ${prefix}/lib/*/libsignalpattern.so*)
list(LENGTH libs nlibs)
if(nlibs LESS 3)
  message(FATAL_ERROR "expected libsignalpattern.so, .so.2 and .so.2.5, found: ${libs}")
endif()
foreach(header SignalPattern.h SignalPatternRecognizer.h sp_log.h)
  if(NOT EXISTS ${prefix}/include/signalpattern/${header})
    message(FATAL_ERROR "header ${header} not installed")
  endif()
endforeach()

# CMake package.
run(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples -B ${WORK_DIR}/build
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=${CXX}
    "-DCMAKE_CXX_FLAGS=${flags}" "-DCMAKE_EXE_LINKER_FLAGS=${flags}")
run(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/build)
set(ENV{TMPDIR} ${WORK_DIR})
run(COMMAND ${WORK_DIR}/build/find_clip)
message(STATUS "find_clip (CMake package):\n${RUN_OUTPUT}")

# pkg-config.
file(GLOB pcdirs ${prefix}/lib*/pkgconfig ${prefix}/lib/*/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "${pcdirs}")
run(COMMAND pkg-config --cflags --libs signalpattern)
string(STRIP "${RUN_OUTPUT}" pcflags)
separate_arguments(pcflags UNIX_COMMAND "${pcflags}")
run(COMMAND ${CXX} -std=c++17 ${flags} ${SOURCE_DIR}/examples/find_clip.cpp ${pcflags} -o ${WORK_DIR}/find_clip_pc)
file(GLOB libdirs LIST_DIRECTORIES true ${prefix}/lib*)
set(ENV{LD_LIBRARY_PATH} "${libdirs}")
run(COMMAND ${WORK_DIR}/find_clip_pc)

# The installed tool finds its library next to it.
unset(ENV{LD_LIBRARY_PATH})
run(COMMAND ${prefix}/bin/sigpat --version)
message(STATUS "${RUN_OUTPUT}")

# And its FFmpeg module: a file libsndfile does not read is tried by FFmpeg.
if(FFMPEG_MODULE)
  file(WRITE ${WORK_DIR}/not-audio.txt "not audio\n")
  execute_process(COMMAND ${prefix}/bin/sigpat create ${WORK_DIR}/not-audio.txt ERROR_VARIABLE err OUTPUT_QUIET)
  if(NOT err MATCHES "FFmpeg: ")
    message(FATAL_ERROR "the installed sigpat does not find its FFmpeg module: ${err}")
  endif()
endif()

# And its PostgreSQL module: a server that is not there is a connection error, not a missing module.
if(EXISTS ${BUILD_DIR}/tools/sigpat-store-postgres.so)
  execute_process(COMMAND ${prefix}/bin/sigpat export --db postgresql://127.0.0.1:1/none ERROR_VARIABLE err OUTPUT_QUIET)
  if(NOT err MATCHES "cannot connect")
    message(FATAL_ERROR "the installed sigpat does not find its PostgreSQL module: ${err}")
  endif()
endif()
