# The check kit for a real Windows machine: the checks Wine cannot show, the Windows test
# programs that install nothing, and the installer, in one zip (scripts/windows-checks.sh).
if(WIN32)
    add_executable(velbro_windows_checks windows_checks/windows_checks.cpp)
    target_link_libraries(velbro_windows_checks PRIVATE velbro_test_support)
    target_compile_definitions(velbro_windows_checks PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
    target_compile_options(velbro_windows_checks PRIVATE ${VELBRO_WARNINGS})
    target_link_options(velbro_windows_checks PRIVATE -municode -static)
    set_target_properties(velbro_windows_checks PROPERTIES OUTPUT_NAME windows-checks)

    set(kit ${CMAKE_BINARY_DIR}/velbro-vpn-windows-checks.zip)
    set(kit_programs velbro-vpn velbro_windows_checks platform_windows_tests argv_echo ui_windows_tests
        work_area_windows_tests)
    set(kit_files ${CMAKE_CURRENT_LIST_DIR}/run-checks.cmd)
    foreach(program ${kit_programs})
        list(APPEND kit_files $<TARGET_FILE:${program}>)
    endforeach()
    # The trust checks' packages, signed under a throwaway CA made afresh with each kit.
    set(kit_packages unsigned.msi untrusted-root.msi changed-payload.msi)
    list(TRANSFORM kit_packages PREPEND ${CMAKE_BINARY_DIR}/kit-packages/)
    add_custom_command(OUTPUT ${kit_packages}
        COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/fixtures/make_fixtures.sh ${CMAKE_BINARY_DIR}/kit-packages kit
        DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/fixtures/make_fixtures.sh
                ${CMAKE_CURRENT_SOURCE_DIR}/fixtures/test_package.wxs
        VERBATIM)
    list(APPEND kit_files ${kit_packages})
    add_custom_command(OUTPUT ${kit}
        COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/pack_kit.py ${kit} ${kit_files}
        DEPENDS ${kit_programs} ${kit_files} ${CMAKE_CURRENT_LIST_DIR}/pack_kit.py
        VERBATIM)
    add_custom_target(velbro_windows_checks_kit ALL DEPENDS ${kit})

    add_test(NAME windows_checks_kit
        COMMAND ${CMAKE_CURRENT_LIST_DIR}/kit_test.sh ${kit} ${CMAKE_CURRENT_LIST_DIR}/pack_kit.py
                ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh ${VELBRO_WINEPREFIX})
    set_tests_properties(windows_checks_kit PROPERTIES TIMEOUT 400)
endif()
