# Compiles a file into a target as a read-only byte array, with the symbols
#   SYMBOL      the first byte
#   SYMBOL_end  one past the last byte
# The assembler's .incbin keeps the build fast for fonts of any size and takes every byte as it is.
function(velm_embed_file target symbol file)
    set(asm "${CMAKE_CURRENT_BINARY_DIR}/embedded/${target}_${symbol}.S")
    set(content ".section .rodata\n"
                ".global ${symbol}\n"
                ".global ${symbol}_end\n"
                ".balign 16\n"
                "${symbol}:\n")
    if(NOT "${file}" STREQUAL "")
        string(APPEND content ".incbin \"${file}\"\n")
    endif()
    string(APPEND content "${symbol}_end:\n"
                          ".byte 0\n"
                          ".section .note.GNU-stack,\"\",@progbits\n")
    file(CONFIGURE OUTPUT "${asm}" CONTENT "${content}" @ONLY)
    target_sources(${target} PRIVATE "${asm}")
    if(NOT "${file}" STREQUAL "")
        set_source_files_properties("${asm}" PROPERTIES OBJECT_DEPENDS "${file}")
    endif()
endfunction()
