# velm_add_product(TARGET CONFIG_FILE)
#
# A product executable is the shared entry point, the velm_core library and the product's own
# configuration text. An empty CONFIG_FILE builds a product whose configuration is missing.
function(velm_add_product target config_file)
    add_executable(${target} $<TARGET_OBJECTS:velm_entry>)
    velm_embed_file(${target} velm_config_text "${config_file}")
    target_link_libraries(${target} PRIVATE velm_core)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin")
endfunction()
