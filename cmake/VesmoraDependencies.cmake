# System libraries, all from Debian packages installed by scripts/setup.sh.
macro(vesmora_find)
  find_package(${ARGV} REQUIRED)
endmacro()
include(VesmoraSdkDependencies)

# The UI-test suite, the simulated app and the unit tests serve HTTP on the loopback interface.
# Debian's cpp-httplib is a shared library: its pkg-config cflags carry the -D switches that
# select the same compiled variant, and leaving them out makes the server crash.
if(VESMORA_BUILD_TESTS OR NOT VESMORA_SDK_ONLY)
  pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
endif()
if(VESMORA_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()

find_program(PROTOC_EXECUTABLE protoc REQUIRED)
find_program(NANOPB_PLUGIN protoc-gen-nanopb REQUIRED)
