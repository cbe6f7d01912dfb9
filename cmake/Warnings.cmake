# Project-wide warnings; QY_WERROR (on in CI) turns them into errors.
# GCC 12 reports false -Wrestrict overlaps inside libstdc++'s string concatenation at -O3
# (GCC bug 105651); those stay warnings even with QY_WERROR.
add_library(qy_warnings INTERFACE)
target_compile_options(qy_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wnon-virtual-dtor -Wimplicit-fallthrough
  $<$<CXX_COMPILER_ID:GNU>:-Wshadow=local>
  $<$<CXX_COMPILER_ID:Clang>:-Wthread-safety>
  $<$<BOOL:${QY_WERROR}>:-Werror>
  $<$<AND:$<BOOL:${QY_WERROR}>,$<CXX_COMPILER_ID:GNU>>:-Wno-error=restrict>)
