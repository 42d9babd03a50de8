# The release: two builds of one commit give the same bytes, and scripts/release.sh signs the
# program so that the trust provider accepts it (checked under Wine in a prefix of its own,
# because the test root it trusts must not reach the other tests' prefix). Both build the
# program, several minutes on a loaded 2-core machine: their limits only catch a hang.
if(WIN32)
    add_test(NAME release_reproducible
        COMMAND ${CMAKE_CURRENT_LIST_DIR}/reproducible_test.sh ${PROJECT_SOURCE_DIR})
    set_tests_properties(release_reproducible PROPERTIES TIMEOUT 900)

    add_executable(release_trust_tool ${CMAKE_CURRENT_LIST_DIR}/trust_tool.cpp)
    target_link_libraries(release_trust_tool PRIVATE velbro_core wintrust crypt32)
    target_compile_definitions(release_trust_tool PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
    target_compile_options(release_trust_tool PRIVATE ${VELBRO_WARNINGS})
    target_link_options(release_trust_tool PRIVATE -municode -static)

    add_test(NAME release_signing
        COMMAND ${CMAKE_CURRENT_LIST_DIR}/signing_test.sh ${PROJECT_SOURCE_DIR}
                $<TARGET_FILE:release_trust_tool> ${CMAKE_BINARY_DIR}/release-wineprefix)
    set_tests_properties(release_signing PROPERTIES TIMEOUT 900)
endif()
