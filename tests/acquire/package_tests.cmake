# The download and publisher steps: their command line and decision natively, the steps
# themselves under Wine with our stand-in curl and real signed packages.
velbro_core_test(package_core_tests acquire/download_command_test.cpp acquire/publisher_decision_test.cpp)
velbro_windows_test(package_windows_tests acquire/download_test.cpp acquire/publisher_test.cpp PACKAGES)
# Wine disables a DLL for the whole process, so this case runs as a test process of its own.
velbro_windows_test(publisher_without_wintrust_test acquire/publisher_without_wintrust_test.cpp PACKAGES
    PROPERTIES ENVIRONMENT "WINEDLLOVERRIDES=mscoree,mshtml,wintrust=")
