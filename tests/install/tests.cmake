# The MSI installation step: its command line and exit-code mapping natively, the step itself
# under Wine with our stand-in msiexec and once with Wine's own.
velbro_core_test(install_core_tests install/msi_command_test.cpp)
velbro_windows_test(install_windows_tests install/msi_install_win_test.cpp PACKAGES)
