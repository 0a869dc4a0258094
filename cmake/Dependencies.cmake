# Every library comes from Debian's packages (see README.md).
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(ZLIB REQUIRED)
find_package(CURL REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(SQLite3 REQUIRED)
find_package(ICU REQUIRED COMPONENTS uc i18n)
find_package(nanopb CONFIG REQUIRED)
find_package(nlohmann_json REQUIRED)
pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)

add_library(ferrolux_deps INTERFACE)
target_link_libraries(ferrolux_deps INTERFACE
  Threads::Threads ZLIB::ZLIB CURL::libcurl OpenSSL::Crypto SQLite::SQLite3
  ICU::uc ICU::i18n nanopb::protobuf-nanopb-static nlohmann_json::nlohmann_json
  PkgConfig::PLIST ${CMAKE_DL_LIBS})
# nanopb from Debian is built with malloc support; the field width must
# stay at its default so that struct layouts match the library.
target_compile_definitions(ferrolux_deps INTERFACE PB_ENABLE_MALLOC)

# Debian's cpp-httplib is a compiled library: code that includes it must
# link it and use the feature macros it was built with. The local
# measurement service and the network tests use it.
pkg_check_modules(CPPHTTPLIB REQUIRED IMPORTED_TARGET GLOBAL cpp-httplib)

if(FERROLUX_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
