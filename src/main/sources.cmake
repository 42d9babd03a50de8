list(APPEND VELBRO_CORE_SOURCES src/main/flow.cpp src/main/upper_case.cpp)
list(APPEND VELBRO_WINDOWS_SOURCES src/main/steps_win.cpp)
