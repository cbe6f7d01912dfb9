# Finds every library the project links. A missing one stops configuration and names the Debian
# package that provides it (scripts/setup.sh installs them all).
find_package(PkgConfig)
if(NOT PkgConfig_FOUND)
  message(FATAL_ERROR "pkg-config not found: install the Debian package 'pkg-config'")
endif()

# qy_require(FOUND PACKAGE [WHAT FOR]): stops with the package to install when FOUND is false.
macro(qy_require found package)
  if(NOT ${found})
    set(qy_purpose "${ARGN}")
    if(qy_purpose)
      set(qy_purpose " (${qy_purpose})")
    endif()
    message(FATAL_ERROR "Missing dependency${qy_purpose}: install the Debian package '${package}' (scripts/setup.sh does)")
  endif()
endmacro()

find_package(ICU COMPONENTS uc i18n data)
qy_require(ICU_FOUND libicu-dev)

find_package(OpenSSL)
qy_require(OPENSSL_FOUND libssl-dev)

find_package(nlohmann_json 3 CONFIG QUIET)
qy_require(nlohmann_json_FOUND nlohmann-json3-dev)

pkg_check_modules(PCRE2 QUIET IMPORTED_TARGET libpcre2-8)
qy_require(PCRE2_FOUND libpcre2-dev)

find_path(CLD2_INCLUDE_DIR cld2/public/compact_lang_det.h)
find_library(CLD2_LIBRARY cld2)
find_library(CLD2_FULL_LIBRARY cld2_full)
if(NOT CLD2_INCLUDE_DIR OR NOT CLD2_LIBRARY OR NOT CLD2_FULL_LIBRARY)
  qy_require(FALSE libcld2-dev)
endif()
# The full tables (about 160 languages) load only when cld2_full is linked before cld2 and kept.
add_library(qy_cld2 INTERFACE)
target_include_directories(qy_cld2 SYSTEM INTERFACE ${CLD2_INCLUDE_DIR})
target_link_libraries(qy_cld2 INTERFACE "-Wl,--no-as-needed" ${CLD2_FULL_LIBRARY} ${CLD2_LIBRARY} "-Wl,--as-needed")

# cpp-httplib parses and routes the requests of the local web pages (web/: the settings
# application and the mail reader, whose connections web/front.h accepts and bounds itself), and
# makes the one bounded request to a local translation server (platform/local_http.cc).
pkg_check_modules(HTTPLIB QUIET IMPORTED_TARGET cpp-httplib)
qy_require(HTTPLIB_FOUND libcpp-httplib-dev "cpp-httplib, for the local web pages and the local translation servers")

find_package(Threads REQUIRED)

if(QY_TESTS)
  find_package(GTest CONFIG QUIET)
  qy_require(GTest_FOUND libgtest-dev "GoogleTest, for the tests; -DQY_TESTS=OFF builds without them")
endif()
if(QY_BENCH)
  find_package(benchmark CONFIG QUIET)
  qy_require(benchmark_FOUND libbenchmark-dev "Google Benchmark, for -DQY_BENCH=ON")
  # Peers measured in the same run; optional, the benchmarks skip them when absent.
  pkg_check_modules(GMIME QUIET IMPORTED_TARGET gmime-3.0)
  pkg_check_modules(GUMBO QUIET IMPORTED_TARGET gumbo)
endif()
