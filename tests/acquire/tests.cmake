velbro_core_test(work_area_core_tests acquire/work_area_paths_test.cpp
    acquire/work_dir_model_test.cpp)

velbro_windows_test(work_area_tests acquire/work_area_test.cpp
    acquire/remove_tree_test.cpp)
include(${CMAKE_CURRENT_LIST_DIR}/package_tests.cmake)
