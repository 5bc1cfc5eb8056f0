option(VIRELON_FUZZ "Build the libFuzzer targets in fuzz/ (needs clang)" OFF)
if(VIRELON_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "VIRELON_FUZZ needs clang: configure with "
                            "-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++")
    endif()
    # Everything a fuzzer links is instrumented too, so that coverage guides it into our code and
    # the sanitizers watch it there.
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
