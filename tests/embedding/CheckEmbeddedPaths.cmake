# cmake -DVELM_EMBED_MODULE=... -DPROJECT_TEMPLATE=... -DGENERATOR=... -DC_COMPILER=...
#       -DASM_COMPILER=... -P CheckEmbeddedPaths.cmake
#
# For each folder name below: copies the tiny project into a folder of that name, configures and
# builds it, runs it, and compares the bytes that came out of the executable with the file's.
# CMake itself turns a backslash in a source or build path into a slash and cannot write a line
# break into its build files, so those two never reach the assembler through a build.

set(folder_names
    "quoted \"name\" and 'apostrophes'"   # a double quote ends the assembler string early
    "at @PROJECT_NAME@")                  # what a configured file would replace

if(DEFINED ENV{TMPDIR} AND NOT "$ENV{TMPDIR}" STREQUAL "")
    set(temp_root "$ENV{TMPDIR}")
else()
    set(temp_root "/tmp")
endif()
string(RANDOM LENGTH 10 suffix)
set(work "${temp_root}/velm-embed-paths-${suffix}")

set(failures "")
set(index 0)
foreach(name IN LISTS folder_names)
    math(EXPR index "${index} + 1")
    set(source "${work}/${name}")
    set(build "${work}/build-${index}")
    file(MAKE_DIRECTORY "${source}")
    file(COPY "${PROJECT_TEMPLATE}/" DESTINATION "${source}")
    file(WRITE "${source}/data.bin" "the bytes of case ${index}, from \"${name}\"\n")
    file(READ "${source}/data.bin" expected HEX)

    execute_process(COMMAND ${CMAKE_COMMAND} -S "${source}" -B "${build}" -G "${GENERATOR}"
                            "-DVELM_EMBED_MODULE=${VELM_EMBED_MODULE}"
                            "-DCMAKE_C_COMPILER=${C_COMPILER}" "-DCMAKE_ASM_COMPILER=${ASM_COMPILER}"
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(rc EQUAL 0)
        execute_process(COMMAND ${CMAKE_COMMAND} --build "${build}"
                        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    endif()
    if(NOT rc EQUAL 0)
        file(GLOB assembly "${build}/embedded/*.S")
        set(generated "")
        if(assembly)
            file(READ "${assembly}" generated)
        endif()
        string(APPEND failures "\n[${name}] the build failed:\n${out}\ngenerated assembly:\n${generated}\n")
        continue()
    endif()

    execute_process(COMMAND "${build}/print_embedded"
                    RESULT_VARIABLE rc OUTPUT_VARIABLE actual ERROR_VARIABLE err)
    if(NOT rc EQUAL 0 OR NOT actual STREQUAL expected)
        string(APPEND failures "\n[${name}] exit ${rc}, embedded bytes\n  ${actual}\nexpected\n  ${expected}\n${err}\n")
    endif()
endforeach()

file(REMOVE_RECURSE "${work}")

if(NOT failures STREQUAL "")
    message(FATAL_ERROR "velm_embed_file did not embed the file as it is:${failures}")
endif()
list(LENGTH folder_names count)
message(STATUS "embedded the file exactly from ${count} source folders with unusual names")
