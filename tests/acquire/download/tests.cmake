# The download step: its command line and exit-code mapping natively, the step itself under
# Wine with our stand-in curl.
velbro_core_test(download_core_tests acquire/download/download_command_test.cpp)
velbro_windows_test(download_windows_tests acquire/download/download_win_test.cpp PACKAGES)
