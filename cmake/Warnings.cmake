# Project-wide warnings; QY_WERROR (on in CI) turns them into errors.
add_library(qy_warnings INTERFACE)
target_compile_options(qy_warnings INTERFACE -Wall -Wextra -Wpedantic $<$<CXX_COMPILER_ID:GNU>:-Wshadow=local> -Wnon-virtual-dtor
                       -Wimplicit-fallthrough $<$<BOOL:${QY_WERROR}>:-Werror>)
