# The SDK as a library for other projects. Each library below is also reachable as
# Vesmora::<library>, in this tree (aliases) and from the installed package:
#
#   cmake --install <build> --prefix <prefix>
#   find_package(Vesmora 1.0 REQUIRED)        # with <prefix> in CMAKE_PREFIX_PATH
#   target_link_libraries(app PRIVATE Vesmora::sdk_measurement_analytics)
#
# The package holds the static libraries, their headers under include/ with the paths the code
# uses ("Core/Public/CDVApp.h", "foundation/Bundle.h"), the message definitions under
# share/Vesmora/proto, the CMake files that find the system libraries they link, and a version
# file: the project's version, which answers a request for the same major version up to it (1,
# 1.0, 1.0.0) and refuses a later one (1.5). Libraries that register themselves from a static
# initialiser carry their linker anchor in their interface link options, so they register when
# linked from the package too. The install builds the libraries first when the build folder lacks
# any of them (after the UI suite's build alone, say), with CMAKE_BUILD_PARALLEL_LEVEL jobs when
# that is set.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VESMORA_SDK_LIBRARIES
  platform_foundation
  platform_dispatch
  platform_obx
  platform_security
  platform_storekit
  platform_uikit
  sdk_proto
  sdk_core
  sdk_diagnostics
  sdk_instanceid
  sdk_measurement_model
  sdk_measurement_store
  sdk_measurement_engine
  sdk_measurement_analytics
)
# Their headers need C++20: the targets say so, so an app that links one is compiled as C++20
# (or later) whatever its own CMAKE_CXX_STANDARD, from the package and from add_subdirectory.
foreach(library IN LISTS VESMORA_SDK_LIBRARIES)
  add_library(Vesmora::${library} ALIAS ${library})
  target_compile_features(${library} PUBLIC cxx_std_20)
endforeach()

set(VESMORA_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Vesmora)
# A build folder made for one target (scripts/run-ui-suite.sh builds the runner only) lacks
# libraries the package holds: the install builds them before it copies them.
set(vesmora_library_files "")
foreach(library IN LISTS VESMORA_SDK_LIBRARIES)
  list(APPEND vesmora_library_files "$<TARGET_FILE:${library}>")
endforeach()
install(CODE "
  set(missing \"\")
  foreach(file IN ITEMS ${vesmora_library_files})
    if(NOT EXISTS \"\${file}\")
      set(missing TRUE)
    endif()
  endforeach()
  if(missing)
    message(STATUS \"Building the SDK's libraries, which this build folder lacks\")
    execute_process(COMMAND \"${CMAKE_COMMAND}\" --build \"${CMAKE_BINARY_DIR}\" --target ${VESMORA_SDK_LIBRARIES}
                    RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR \"building the SDK's libraries failed (\${result})\")
    endif()
  endif()")
install(TARGETS ${VESMORA_SDK_LIBRARIES} EXPORT VesmoraTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT VesmoraTargets NAMESPACE Vesmora:: DESTINATION ${VESMORA_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VesmoraConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_SOURCE_DIR}/cmake/VesmoraConfig.cmake
  ${PROJECT_BINARY_DIR}/VesmoraConfigVersion.cmake
  ${PROJECT_SOURCE_DIR}/cmake/VesmoraSdkDependencies.cmake
  DESTINATION ${VESMORA_PACKAGE_DIR})

foreach(folder foundation dispatch obx security storekit uikit)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/${folder}/${folder}
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")
endforeach()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/sdk/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h"
  PATTERN "fuzz" EXCLUDE
  PATTERN "defs" EXCLUDE)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/sdk/proto/defs/
  DESTINATION ${CMAKE_INSTALL_DATADIR}/Vesmora/proto FILES_MATCHING PATTERN "*.proto")
