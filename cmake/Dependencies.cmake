# Dependencies, found the ordinary way: safeclib through pkg-config, OpenSSL's libcrypto through CMake.
find_package(PkgConfig REQUIRED)
pkg_check_modules(SAFEC REQUIRED IMPORTED_TARGET libsafec)
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
find_package(Threads REQUIRED)
