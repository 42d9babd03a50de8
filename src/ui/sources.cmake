list(APPEND VELBRO_WINDOWS_SOURCES src/ui/task_dialog_win.cpp src/ui/progress_console_win.cpp src/ui/ui_win.cpp)
