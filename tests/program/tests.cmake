# End-to-end tests of the built velbro-vpn.exe, driven from a Windows-side parent under Wine.
if(WIN32)
    # The driver, for every test that runs the whole program.
    add_library(velbro_program_driver STATIC program/driver.cpp)
    target_include_directories(velbro_program_driver PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(velbro_program_driver PUBLIC velbro_windows ntdll gdi32)
    target_compile_options(velbro_program_driver PRIVATE ${VELBRO_WARNINGS})
    target_compile_definitions(velbro_program_driver
        PRIVATE "VELBRO_PROGRAM_EXE=\"$<TARGET_FILE:velbro-vpn>\"")

    add_executable(program_tests program/program_test.cpp)
    target_link_libraries(program_tests PRIVATE velbro_program_driver GTest::gtest_main)
    target_compile_options(program_tests PRIVATE ${VELBRO_WARNINGS})
    target_link_options(program_tests PRIVATE -static)
    add_dependencies(program_tests velbro-vpn)
    # Alone: a key goes to whichever window is in the foreground, and a window another test
    # opens meanwhile would take it.
    gtest_discover_tests(program_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
        PROPERTIES TIMEOUT 120 RUN_SERIAL TRUE)

    # Without a display: the whole test runs without DISPLAY (see no_display.sh).
    add_executable(program_desktop_keeper program/desktop_keeper.cpp)
    target_link_libraries(program_desktop_keeper PRIVATE velbro_windows)
    target_compile_options(program_desktop_keeper PRIVATE ${VELBRO_WARNINGS})
    target_link_options(program_desktop_keeper PRIVATE -municode -mwindows -static)

    add_executable(program_no_display_tests program/no_display_test.cpp)
    target_link_libraries(program_no_display_tests PRIVATE velbro_program_driver GTest::gtest_main)
    target_compile_options(program_no_display_tests PRIVATE ${VELBRO_WARNINGS})
    target_link_options(program_no_display_tests PRIVATE -static)
    add_dependencies(program_no_display_tests velbro-vpn program_desktop_keeper)

    add_test(NAME ProgramWithoutDisplay.DeclinesAndCreatesNothing
        COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/program/no_display.sh
            ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh ${VELBRO_WINEPREFIX}
            $<TARGET_FILE:program_desktop_keeper> $<TARGET_FILE:program_no_display_tests>)
    set_tests_properties(ProgramWithoutDisplay.DeclinesAndCreatesNothing PROPERTIES TIMEOUT 120)
endif()
