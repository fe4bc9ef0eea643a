# ctest script: builds the embedding example as an outside project would.
#   MODE=package       installs BUILD_DIR into WORK_DIR/prefix (LIBRARY, one of its libraries,
#                      moved aside first: the install builds what the build folder lacks; then put
#                      back, so the build folder is left as it was and nothing is relinked),
#                      configures the example with find_package(Vesmora 1.0), builds embed_app and
#                      runs it with COLLECTOR; a request for 1.5 must not find the package, one for
#                      1 must;
#   MODE=subdirectory  configures the example with the source tree added as a subdirectory, with
#                      GoogleTest made unfindable, and compiles the app's source file (not the
#                      SDK's).
# The example sets no C++ standard of its own, as an app of the README's shape: the SDK's targets
# must bring the C++20 their headers need.
# Compilers, launcher, build type and compile/link flags are this build's, passed in.
cmake_minimum_required(VERSION 3.25)

# Runs a step; its output is shown when it fails.
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${output}\n${what} failed (${result})")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(configure
  ${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/embed -B ${WORK_DIR}/build -G ${GENERATOR}
  -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
  -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
  "-DCMAKE_C_FLAGS=${COMPILE_FLAGS}" "-DCMAKE_CXX_FLAGS=${COMPILE_FLAGS}"
  "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}")
if(LAUNCHER)
  list(APPEND configure -DCMAKE_C_COMPILER_LAUNCHER=${LAUNCHER} -DCMAKE_CXX_COMPILER_LAUNCHER=${LAUNCHER})
endif()

if(MODE STREQUAL "package")
  # What a build of the build folder would do now (Ninja only: `ninja -n`).
  function(pending out)
    set(${out} "" PARENT_SCOPE)
    if(GENERATOR MATCHES "Ninja")
      execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} -- -n OUTPUT_VARIABLE work ERROR_VARIABLE work)
      set(${out} "${work}" PARENT_SCOPE)
    endif()
  endfunction()
  pending(before)
  # The library the install must build is the build folder's own, kept aside meanwhile: put back,
  # it is older than the programs linked with it, as it was.
  file(MAKE_DIRECTORY ${WORK_DIR})
  set(kept FALSE)
  if(EXISTS ${LIBRARY})
    file(RENAME ${LIBRARY} ${WORK_DIR}/kept-library)
    set(kept TRUE)
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  set(built FALSE)
  if(EXISTS ${LIBRARY})
    set(built TRUE)
  endif()
  if(kept)
    file(RENAME ${WORK_DIR}/kept-library ${LIBRARY})
  endif()
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${output}\ninstalling the package failed (${result})")
  endif()
  if(NOT built)
    message(FATAL_ERROR "the install did not build ${LIBRARY}, which the build folder lacked")
  endif()
  pending(after)
  if(before MATCHES "no work to do" AND NOT after MATCHES "no work to do")
    message(FATAL_ERROR "the build folder, up to date before the install, no longer is:\n${after}")
  endif()
  # Libraries that register from a static initialiser must keep their anchors in the package.
  file(GLOB_RECURSE targets_file ${WORK_DIR}/prefix/*/VesmoraTargets.cmake)
  file(READ "${targets_file}" targets)
  foreach(anchor CDVAnalyticsLinkAnchor CDVDiagnosticsLinkAnchor)
    string(FIND "${targets}" "--undefined=${anchor}" found)
    if(found EQUAL -1)
      message(FATAL_ERROR "the package's targets lose the link option that keeps ${anchor}")
    endif()
  endforeach()
  # The version file answers a request up to the package's own version, not a later one.
  file(WRITE ${WORK_DIR}/versions/CMakeLists.txt [=[
cmake_minimum_required(VERSION 3.25)
project(versions LANGUAGES C CXX)
find_package(Vesmora 1.5 QUIET)
if(Vesmora_FOUND)
  message(FATAL_ERROR "a request for 1.5 found the 1.0.0 package")
endif()
find_package(Vesmora 1 REQUIRED)
]=])
  run("requesting package versions" ${CMAKE_COMMAND} -S ${WORK_DIR}/versions -B ${WORK_DIR}/versions/build
      -G ${GENERATOR} -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
      -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix)
  run("configuring against the package" ${configure} -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix)
  run("building embed_app" ${CMAKE_COMMAND} --build ${WORK_DIR}/build --target embed_app)
  execute_process(COMMAND ${COLLECTOR} ${WORK_DIR}/build/embed_app ${BUNDLE} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "the example against the collector failed (${result})")
  endif()
elseif(MODE STREQUAL "subdirectory")
  run("configuring with the source tree added" ${configure} -DVESMORA_SOURCE_DIR=${SOURCE_DIR}
      -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON)
  # Ninja names an object file as a target; other generators build the app with the SDK.
  set(object embed_app)
  if(GENERATOR MATCHES "Ninja")
    set(object CMakeFiles/embed_app.dir/main.cpp.o)
  endif()
  run("compiling the app's source" ${CMAKE_COMMAND} --build ${WORK_DIR}/build --target ${object})
else()
  message(FATAL_ERROR "MODE must be package or subdirectory")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
