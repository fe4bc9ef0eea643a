# find_package(Vesmora): the SDK's static libraries as Vesmora::<library> (the list is in
# VesmoraPackage.cmake of the source tree), with their include folder and the system libraries
# they link, found here. Link Vesmora::sdk_measurement_analytics to embed analytics.
include(CMakeFindDependencyMacro)
macro(vesmora_find)
  find_dependency(${ARGV})
endmacro()
include(${CMAKE_CURRENT_LIST_DIR}/VesmoraSdkDependencies.cmake)
if(DEFINED Vesmora_FOUND AND NOT Vesmora_FOUND)
  return()
endif()
include(${CMAKE_CURRENT_LIST_DIR}/VesmoraTargets.cmake)
