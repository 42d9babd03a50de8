velbro_core_test(work_area_core_tests acquire/work_area/work_area_paths_test.cpp
    acquire/work_area/work_dir_model_test.cpp)
velbro_windows_test(work_area_windows_tests acquire/work_area/work_area_win_test.cpp
    acquire/work_area/tree_removal_win_test.cpp)
# The download and publisher steps themselves run under Wine with our stand-in curl and real signed packages.
velbro_core_test(download_core_tests acquire/download/download_command_test.cpp)
velbro_windows_test(download_windows_tests acquire/download/download_win_test.cpp PACKAGES)
velbro_core_test(publisher_core_tests acquire/publisher/publisher_decision_test.cpp)
velbro_windows_test(publisher_windows_tests acquire/publisher/publisher_win_test.cpp PACKAGES)
# Wine disables a DLL for the whole process, so this case runs as a test process of its own.
velbro_windows_test(publisher_without_wintrust_windows_tests
    acquire/publisher/publisher_without_wintrust_win_test.cpp PACKAGES
    PROPERTIES ENVIRONMENT "WINEDLLOVERRIDES=mscoree,mshtml,wintrust=")
