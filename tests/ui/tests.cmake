velbro_windows_test(console_tests ui/console_test.cpp)
