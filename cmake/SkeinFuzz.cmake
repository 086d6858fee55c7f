# libFuzzer harnesses: clang only. Every target of the tree gets coverage
# instrumentation and AddressSanitizer + UndefinedBehaviorSanitizer; only the
# harnesses link libFuzzer's main (fuzz/CMakeLists.txt).
if(SKEIN_BUILD_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT CMAKE_C_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "SKEIN_BUILD_FUZZ needs clang: "
                            "-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++")
    endif()
    if(SKEIN_SANITIZE)
        message(FATAL_ERROR "SKEIN_BUILD_FUZZ brings its own sanitizers; leave SKEIN_SANITIZE empty")
    endif()
    message(STATUS "Fuzzing build: libFuzzer with address,undefined")
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
endif()
