# One folder per concern, as in src/acquire.
foreach(concern work_area download publisher)
    include(${CMAKE_CURRENT_LIST_DIR}/${concern}/tests.cmake)
endforeach()
