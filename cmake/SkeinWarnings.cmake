# One interface target carries the warning set; our own targets link it PRIVATE
# so consumers and third-party headers are not affected.
add_library(skein_warnings INTERFACE)
target_compile_options(skein_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wformat=2 -Wimplicit-fallthrough
    $<$<BOOL:${SKEIN_WERROR}>:-Werror>)
