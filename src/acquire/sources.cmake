list(APPEND VELBRO_CORE_SOURCES src/acquire/paths.cpp)
list(APPEND VELBRO_CORE_SOURCES src/acquire/download_command.cpp src/acquire/publisher_decision.cpp)
list(APPEND VELBRO_WINDOWS_SOURCES src/acquire/download.cpp src/acquire/publisher.cpp)
list(APPEND VELBRO_CORE_SOURCES src/acquire/work_area_paths.cpp src/acquire/tree_removal.cpp
    src/acquire/work_dir_creation.cpp)
list(APPEND VELBRO_WINDOWS_SOURCES src/acquire/work_area.cpp src/acquire/remove_tree.cpp
    src/acquire/windows_file_operations.cpp)
