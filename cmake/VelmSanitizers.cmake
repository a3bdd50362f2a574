# One sanitizer build per build folder, chosen with -DVELM_SANITIZER=thread or =address.
# Undefined-behaviour reports stay recoverable so that the framework's own can be suppressed
# (tests/sanitizers/ubsan.supp); UBSAN_OPTIONS=halt_on_error=1 makes every other one fatal.
if(VELM_SANITIZER STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(VELM_SANITIZER STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
elseif(NOT VELM_SANITIZER STREQUAL "")
    message(FATAL_ERROR "VELM_SANITIZER must be empty, thread or address")
endif()

# The libFuzzer build (clang): every object carries the fuzzer's coverage and the address and
# undefined-behaviour checks; only the fuzz targets link libFuzzer's own main.
if(VELM_BUILD_FUZZERS)
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
