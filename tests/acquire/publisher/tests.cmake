# The publisher step: its decision natively, the step itself under Wine with real signed
# packages.
velbro_core_test(publisher_core_tests acquire/publisher/publisher_decision_test.cpp)
velbro_windows_test(publisher_windows_tests acquire/publisher/publisher_win_test.cpp PACKAGES)
# Wine disables a DLL for the whole process, so this case runs as a test process of its own.
velbro_windows_test(publisher_without_wintrust_windows_tests acquire/publisher/publisher_without_wintrust_win_test.cpp
    PACKAGES PROPERTIES ENVIRONMENT "WINEDLLOVERRIDES=mscoree,mshtml,wintrust=")
