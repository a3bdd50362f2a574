# Compiles a file into a target as a read-only byte array, with the symbols
#   SYMBOL      the first byte
#   SYMBOL_end  one past the last byte
# The assembler's .incbin keeps the build fast for fonts of any size and takes every byte as it is.
function(velm_embed_file target symbol file)
    set(asm "${CMAKE_CURRENT_BINARY_DIR}/embedded/${target}_${symbol}.S")
    string(CONCAT content ".section .rodata\n"
                          ".global ${symbol}\n"
                          ".global ${symbol}_end\n"
                          ".balign 16\n"
                          "${symbol}:\n")
    if(NOT "${file}" STREQUAL "")
        # The path goes into an assembler string: a backslash or a double quote in a folder name
        # would otherwise end it or start an escape, and a line break would end the statement.
        string(REPLACE "\\" "\\\\" quoted "${file}")
        string(REPLACE "\"" "\\\"" quoted "${quoted}")
        string(REPLACE "\n" "\\n" quoted "${quoted}")
        string(REPLACE "\r" "\\r" quoted "${quoted}")
        string(APPEND content ".incbin \"${quoted}\"\n")
    endif()
    string(APPEND content "${symbol}_end:\n"
                          ".byte 0\n"
                          ".section .note.GNU-stack,\"\",@progbits\n")
    # Written as it is: a folder name may hold an @NAME@ that a configured file would replace.
    # Replaced only when it changed, so that configuring again rebuilds nothing.
    file(WRITE "${asm}.new" "${content}")
    file(COPY_FILE "${asm}.new" "${asm}" ONLY_IF_DIFFERENT)
    file(REMOVE "${asm}.new")
    target_sources(${target} PRIVATE "${asm}")
    if(NOT "${file}" STREQUAL "")
        set_source_files_properties("${asm}" PROPERTIES OBJECT_DEPENDS "${file}")
    endif()
endfunction()
