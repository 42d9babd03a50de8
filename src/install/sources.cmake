list(APPEND VELBRO_CORE_SOURCES src/install/msi_command.cpp)
list(APPEND VELBRO_WINDOWS_SOURCES src/install/msi_install_win.cpp)
