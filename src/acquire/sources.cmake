# What install/ and main/ take from acquire (the paths of a run) at the root; one folder per
# concern below it. The order is the link order.
list(APPEND VELBRO_CORE_SOURCES src/acquire/work_paths.cpp)
list(APPEND VELBRO_CORE_SOURCES src/acquire/download/download_command.cpp
    src/acquire/publisher/publisher_decision.cpp)
list(APPEND VELBRO_WINDOWS_SOURCES src/acquire/download/download_win.cpp src/acquire/publisher/publisher_win.cpp)
list(APPEND VELBRO_CORE_SOURCES src/acquire/work_area/work_area_paths.cpp src/acquire/work_area/tree_removal.cpp
    src/acquire/work_area/work_dir_creation.cpp)
list(APPEND VELBRO_WINDOWS_SOURCES src/acquire/work_area/work_area_win.cpp
    src/acquire/work_area/file_operations_win.cpp)
