# The product's sources, one list per subsystem. Paths are relative to the project root.
foreach(subsystem platform main ui acquire install)
    include(${CMAKE_CURRENT_LIST_DIR}/${subsystem}/sources.cmake)
endforeach()
