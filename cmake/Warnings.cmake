add_library(virelon_warnings INTERFACE)
target_compile_options(virelon_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow
                                                  -Wnon-virtual-dtor -Wconversion -Wsign-conversion)
