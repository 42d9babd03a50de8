velbro_core_test(platform_core_tests platform/command_line_test.cpp platform/system_error_text_test.cpp)

if(WIN32)
    # The child the runner's tests start: reports the arguments it received, or exits with a
    # chosen code, or copies its standard streams.
    add_executable(argv_echo platform/argv_echo.cpp)
    target_compile_options(argv_echo PRIVATE ${VELBRO_WARNINGS})
    target_compile_definitions(argv_echo PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
    target_link_options(argv_echo PRIVATE -municode -static)
endif()

velbro_windows_test(platform_windows_tests platform/child_harness.cpp platform/child_process_test.cpp
    platform/command_line_property_test.cpp platform/system_error_test.cpp)
if(WIN32)
    # CommandLineToArgvW is for the tests only; the installer never parses a command line.
    target_link_libraries(platform_windows_tests PRIVATE shell32)
    # The tests copy argv_echo.exe from beside their own executable.
    add_dependencies(platform_windows_tests argv_echo)
endif()
