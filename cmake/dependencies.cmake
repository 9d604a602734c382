# The Debian packages of scripts/install-deps, as imported targets.

find_package(PkgConfig REQUIRED)
pkg_check_modules(SQLITE3 REQUIRED IMPORTED_TARGET sqlite3)
pkg_check_modules(ZLIB REQUIRED IMPORTED_TARGET zlib)
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
pkg_check_modules(OPENSSL REQUIRED IMPORTED_TARGET openssl)
pkg_check_modules(ICU REQUIRED IMPORTED_TARGET icu-uc icu-i18n)
pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
pkg_check_modules(GMP REQUIRED IMPORTED_TARGET gmpxx gmp)
pkg_check_modules(CAIRO REQUIRED IMPORTED_TARGET cairo)
pkg_check_modules(PANGOCAIRO REQUIRED IMPORTED_TARGET pangocairo)
find_package(nlohmann_json REQUIRED)
find_package(CLI11 REQUIRED)
find_package(doctest REQUIRED)
find_package(nanopb REQUIRED)
find_package(Threads REQUIRED)

# cpp-httplib, for loopback servers in tests and the local collector. The
# Debian package ships it compiled (libcpp-httplib) with TLS and compression
# switched on; those switches change the layout of its classes, so the
# package's own compile flags must come with the header.
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
add_library(velmora_httplib INTERFACE)
target_link_libraries(velmora_httplib INTERFACE PkgConfig::HTTPLIB Threads::Threads)

# The Debian nanopb library is built with PB_ENABLE_MALLOC; every file that
# includes pb.h must agree.
add_library(velmora_nanopb INTERFACE)
target_link_libraries(velmora_nanopb INTERFACE nanopb::protobuf-nanopb-static)
target_include_directories(velmora_nanopb SYSTEM INTERFACE /usr/include)
target_compile_definitions(velmora_nanopb INTERFACE PB_ENABLE_MALLOC=1)
set(VELMORA_NANOPB_GENERATOR /usr/bin/python3 /usr/bin/nanopb_generator.py)
