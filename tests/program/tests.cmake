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

    # Every outcome of a confirmed run, with signed test packages, stub tools and Wine's real
    # msiexec behind a forwarder; and DLLs planted beside the program that must never load.
    include(${PROJECT_SOURCE_DIR}/tests/fixtures/package_fixtures.cmake)
    set(VELBRO_PROGRAM_FIXTURES ${CMAKE_BINARY_DIR}/fixtures/program)
    velbro_test_tool(msiexec_forwarder program/msiexec_forwarder.cpp)
    set_target_properties(msiexec_forwarder PROPERTIES OUTPUT_NAME msiexec
        RUNTIME_OUTPUT_DIRECTORY ${VELBRO_PROGRAM_FIXTURES}/forwarder)
    velbro_test_tool(load_plain program/load_plain.cpp)
    set_target_properties(load_plain PROPERTIES
        RUNTIME_OUTPUT_DIRECTORY ${VELBRO_PROGRAM_FIXTURES}/control)
    foreach(dll wintrust crypt32)
        add_library(planted_${dll} SHARED program/planted_dll.cpp)
        target_compile_options(planted_${dll} PRIVATE ${VELBRO_WARNINGS})
        target_link_options(planted_${dll} PRIVATE -static)
        set_target_properties(planted_${dll} PROPERTIES PREFIX "" OUTPUT_NAME ${dll}
            RUNTIME_OUTPUT_DIRECTORY ${VELBRO_PROGRAM_FIXTURES}/planted)
    endforeach()

    add_executable(program_package_tests program/package_runs_test.cpp)
    target_link_libraries(program_package_tests PRIVATE velbro_program_driver GTest::gtest_main)
    target_compile_options(program_package_tests PRIVATE ${VELBRO_WARNINGS})
    target_compile_definitions(program_package_tests PRIVATE
        "VELBRO_PACKAGE_FIXTURES=\"${VELBRO_PACKAGE_FIXTURES}\""
        "VELBRO_STUB_SYSTEM32=\"${VELBRO_STUB_SYSTEM32}\""
        "VELBRO_FORWARDER=\"$<TARGET_FILE:msiexec_forwarder>\""
        "VELBRO_LOAD_PLAIN=\"$<TARGET_FILE:load_plain>\""
        "VELBRO_PLANTED_DLLS=\"${VELBRO_PROGRAM_FIXTURES}/planted\"")
    target_link_options(program_package_tests PRIVATE -static)
    add_dependencies(program_package_tests velbro-vpn stub_curl stub_msiexec trust_test_root
        msiexec_forwarder load_plain planted_wintrust planted_crypt32)
    # One process for all runs: each new test process would wait about 10 s for Wine's desktop.
    # Alone, as program_tests, since keys go to the foreground window.
    add_test(NAME program_package_runs
        COMMAND program_package_tests --gtest_filter=-PlantedDllTest.*)
    # Wine takes DLL overrides from the Unix environment a process starts with.
    add_test(NAME program_package_planted_dlls
        COMMAND program_package_tests --gtest_filter=PlantedDllTest.*)
    set_tests_properties(program_package_runs program_package_planted_dlls PROPERTIES
        TIMEOUT 120 RUN_SERIAL TRUE FIXTURES_REQUIRED signed_packages)
    set_tests_properties(program_package_planted_dlls PROPERTIES
        ENVIRONMENT "WINEDLLOVERRIDES=mscoree,mshtml=\\;wintrust,crypt32=n,b")

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
