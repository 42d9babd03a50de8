list(APPEND VELBRO_CORE_SOURCES src/acquire/paths.cpp)
