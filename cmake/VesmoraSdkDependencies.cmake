# The system libraries that the SDK and the platform libraries under it link, all from Debian
# packages installed by scripts/setup.sh. Read by the build (cmake/VesmoraDependencies.cmake) and,
# installed beside the exported targets, by the package configuration (VesmoraConfig.cmake): each
# defines `vesmora_find` first, as find_package(... REQUIRED) or as find_dependency.
vesmora_find(Threads)
vesmora_find(SQLite3)
vesmora_find(ZLIB)
vesmora_find(OpenSSL)
vesmora_find(CURL)
vesmora_find(nlohmann_json 3)
vesmora_find(nanopb CONFIG)
vesmora_find(PkgConfig)

if(NOT TARGET PkgConfig::PLIST)
  pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
endif()
if(NOT TARGET PkgConfig::ICU)
  pkg_check_modules(ICU REQUIRED IMPORTED_TARGET icu-uc icu-i18n)
endif()
if(NOT TARGET PkgConfig::NETTLE)
  pkg_check_modules(NETTLE REQUIRED IMPORTED_TARGET nettle)
endif()

if(NOT TARGET vesmora_date)
  find_path(VESMORA_DATE_INCLUDE_DIR date/tz.h REQUIRED)
  find_library(VESMORA_DATE_TZ_LIBRARY NAMES date-tz REQUIRED)
  add_library(vesmora_date INTERFACE IMPORTED)
  target_include_directories(vesmora_date INTERFACE ${VESMORA_DATE_INCLUDE_DIR})
  target_link_libraries(vesmora_date INTERFACE ${VESMORA_DATE_TZ_LIBRARY} Threads::Threads)
  # Debian builds libdate-tz on the system time-zone database; the headers must be compiled with
  # the same switches, or the library's classes do not match the headers' layout.
  target_compile_definitions(vesmora_date INTERFACE USE_OS_TZDB=1 HAS_STRING_VIEW=1 ONLY_C_LOCALE=1)
endif()
