list(APPEND VELBRO_CORE_SOURCES src/acquire/paths.cpp src/acquire/work_area_paths.cpp)
list(APPEND VELBRO_WINDOWS_SOURCES src/acquire/work_area.cpp src/acquire/remove_tree.cpp)
