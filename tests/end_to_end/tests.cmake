# End-to-end tests of the built velbro-vpn.exe, driven from a Windows-side parent under Wine.
if(NOT WIN32)
    return()
endif()
# The driver, for every test that runs the whole program, and for the README's pictures.
add_library(velbro_end_to_end_driver STATIC end_to_end/driver.cpp)
target_link_libraries(velbro_end_to_end_driver PUBLIC velbro_test_support ntdll gdi32)
target_compile_options(velbro_end_to_end_driver PRIVATE ${VELBRO_WARNINGS})

# Outcomes with signed test packages, our stand-in curl and Wine's real msiexec; and DLLs
# planted beside the program that must never load.
set(VELBRO_PROGRAM_FIXTURES ${CMAKE_BINARY_DIR}/fixtures/program)
velbro_test_tool(load_plain end_to_end/load_plain.cpp)
set_target_properties(load_plain PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${VELBRO_PROGRAM_FIXTURES})
foreach(dll wintrust crypt32)
    add_library(planted_${dll} SHARED end_to_end/planted_dll.cpp)
    target_compile_options(planted_${dll} PRIVATE ${VELBRO_WARNINGS})
    target_link_options(planted_${dll} PRIVATE -static)
    set_target_properties(planted_${dll} PROPERTIES PREFIX "" OUTPUT_NAME ${dll}
        RUNTIME_OUTPUT_DIRECTORY ${VELBRO_PROGRAM_FIXTURES}/planted)
endforeach()

# Each run is a test of its own, with its own time limit. Alone: a key goes to whichever
# window is in the foreground, and a window another test opens meanwhile would take it.
add_executable(end_to_end_tests end_to_end/program_test.cpp end_to_end/package_runs_test.cpp)
target_link_libraries(end_to_end_tests PRIVATE velbro_end_to_end_driver GTest::gtest_main)
add_dependencies(end_to_end_tests velbro-vpn stub_curl release_trust_tool load_plain
    planted_wintrust planted_crypt32)
velbro_add_gtest(end_to_end_tests TEST_FILTER -PlantedDllTest.* RUN_SERIAL TRUE FIXTURES_REQUIRED signed_packages)
# Wine takes DLL overrides from the Unix environment a process starts with.
add_test(NAME PlantedDllTest.BesideTheProgramAreNeverLoaded
    COMMAND end_to_end_tests --gtest_filter=PlantedDllTest.*)
set_tests_properties(PlantedDllTest.BesideTheProgramAreNeverLoaded PROPERTIES TIMEOUT 300
    RUN_SERIAL TRUE FIXTURES_REQUIRED signed_packages
    ENVIRONMENT "WINEDLLOVERRIDES=mscoree,mshtml=\\;wintrust,crypt32=n,b")

# Without a display: the whole test runs without DISPLAY (see no_display.sh).
add_executable(end_to_end_desktop_keeper end_to_end/desktop_keeper.cpp)
target_link_libraries(end_to_end_desktop_keeper PRIVATE velbro_windows)
target_compile_options(end_to_end_desktop_keeper PRIVATE ${VELBRO_WARNINGS})
target_link_options(end_to_end_desktop_keeper PRIVATE -municode -mwindows -static)

add_executable(end_to_end_no_display_tests end_to_end/no_display_test.cpp)
target_link_libraries(end_to_end_no_display_tests PRIVATE velbro_end_to_end_driver GTest::gtest_main)
target_compile_options(end_to_end_no_display_tests PRIVATE ${VELBRO_WARNINGS})
target_link_options(end_to_end_no_display_tests PRIVATE -static)
add_dependencies(end_to_end_no_display_tests velbro-vpn end_to_end_desktop_keeper)

add_test(NAME ProgramWithoutDisplay.DeclinesAndCreatesNothing
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/end_to_end/no_display.sh
        ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh ${VELBRO_WINEPREFIX}
        $<TARGET_FILE:end_to_end_desktop_keeper> $<TARGET_FILE:end_to_end_no_display_tests>)
set_tests_properties(ProgramWithoutDisplay.DeclinesAndCreatesNothing PROPERTIES TIMEOUT 300)

# Not a test: takes the README's pictures (tools/screenshots.sh runs it).
add_executable(velbro_screenshots EXCLUDE_FROM_ALL ${PROJECT_SOURCE_DIR}/tools/screenshots/screenshots.cpp)
target_link_libraries(velbro_screenshots PRIVATE velbro_end_to_end_driver)
target_compile_options(velbro_screenshots PRIVATE ${VELBRO_WARNINGS})
target_link_options(velbro_screenshots PRIVATE -municode -static)
add_dependencies(velbro_screenshots velbro-vpn stub_curl release_trust_tool)
