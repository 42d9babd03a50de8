list(APPEND VELBRO_CORE_SOURCES src/platform/text.cpp src/platform/command_line.cpp
    src/platform/system_error_text.cpp)
list(APPEND VELBRO_WINDOWS_SOURCES src/platform/system_error_win.cpp src/platform/child_process_win.cpp)
