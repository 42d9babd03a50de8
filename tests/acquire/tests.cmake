velbro_core_test(work_area_core_tests acquire/work_area_paths_test.cpp
    acquire/work_dir_model_test.cpp)

velbro_windows_test(work_area_tests acquire/held_file.cpp acquire/work_area_test.cpp
    acquire/remove_tree_test.cpp)
if(WIN32)
    # Holds a file open from another process for the removal tests; found beside the tests.
    add_executable(velbro_hold_file acquire/hold_file.cpp)
    target_compile_options(velbro_hold_file PRIVATE ${VELBRO_WARNINGS})
    target_compile_definitions(velbro_hold_file PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
    target_link_options(velbro_hold_file PRIVATE -municode -static)
    add_dependencies(work_area_tests velbro_hold_file)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/package_tests.cmake)
