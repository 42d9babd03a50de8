list(APPEND VELBRO_WINDOWS_SOURCES src/ui/task_dialog.cpp src/ui/progress_console.cpp src/ui/windows_ui.cpp)
