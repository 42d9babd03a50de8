velbro_core_test(work_area_core_tests acquire/work_area/work_area_paths_test.cpp
    acquire/work_area/work_dir_model_test.cpp)

velbro_windows_test(work_area_windows_tests acquire/work_area/work_area_win_test.cpp
    acquire/work_area/tree_removal_win_test.cpp)
