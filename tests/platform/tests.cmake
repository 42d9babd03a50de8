velbro_core_test(platform_core_tests platform/command_line_test.cpp platform/system_error_text_test.cpp)

velbro_windows_test(platform_windows_tests platform/child_harness_win.cpp platform/child_process_win_test.cpp
    platform/command_line_property_win_test.cpp platform/system_error_win_test.cpp)
if(WIN32)
    # The child the runner's tests start: reports the arguments it received, or exits with a
    # chosen code, or copies its standard streams.
    velbro_test_tool(argv_echo platform/argv_echo_win.cpp)
    # CommandLineToArgvW is for the tests only; the installer never parses a command line.
    target_link_libraries(platform_windows_tests PRIVATE shell32)
    add_dependencies(platform_windows_tests argv_echo)
endif()
