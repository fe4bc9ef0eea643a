# System libraries, all from Debian packages installed by scripts/setup.sh.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(GTest REQUIRED)
find_package(SQLite3 REQUIRED)
find_package(ZLIB REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(CURL REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
find_package(nanopb CONFIG REQUIRED)

pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
pkg_check_modules(ICU REQUIRED IMPORTED_TARGET icu-uc icu-i18n)
# Debian's cpp-httplib is a shared library: its pkg-config cflags carry the -D switches that
# select the same compiled variant, and leaving them out makes the server crash.
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)

find_path(DATE_INCLUDE_DIR date/tz.h REQUIRED)
find_library(DATE_TZ_LIBRARY NAMES date-tz REQUIRED)
add_library(vesmora_date INTERFACE)
target_include_directories(vesmora_date INTERFACE ${DATE_INCLUDE_DIR})
target_link_libraries(vesmora_date INTERFACE ${DATE_TZ_LIBRARY} Threads::Threads)
# Debian builds libdate-tz on the system time-zone database; the headers must be compiled with
# the same switches, or the library's classes do not match the headers' layout.
target_compile_definitions(vesmora_date INTERFACE USE_OS_TZDB=1 HAS_STRING_VIEW=1 ONLY_C_LOCALE=1)

find_program(PROTOC_EXECUTABLE protoc REQUIRED)
find_program(NANOPB_PLUGIN protoc-gen-nanopb REQUIRED)
