# Two builds of one commit give byte-identical Windows programs, whatever folder they are built
# in and whenever: the linker writes no time stamp into the PE header (it would take
# SOURCE_DATE_EPOCH or the clock), and no build path reaches the program through __FILE__ (in
# assert and library headers) or debug data. windres gets neither flag; it writes no path or time.
if(WIN32)
    add_link_options(LINKER:--no-insert-timestamp)
    add_compile_options(
        "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=>"
        "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_BINARY_DIR}/=>")
endif()
