# Adds the program file's resources (manifest, icon group) to the exe. The icon group's directory
# states each PNG's byte size, so the sizes are read here and handed to the .rc as definitions.
# Include from the directory that creates the exe: source properties are per directory.
set(_velbro_res "${CMAKE_CURRENT_SOURCE_DIR}/res")
set(_velbro_icons)
set(_velbro_icon_bytes)
foreach(size 16 24 32 48 64 256)
  file(SIZE "${_velbro_res}/icon-${size}.png" bytes)
  list(APPEND _velbro_icons "${_velbro_res}/icon-${size}.png")
  list(APPEND _velbro_icon_bytes "ICON_BYTES_${size}=${bytes}L")
endforeach()

# A changed PNG re-runs the configure step (new sizes) and recompiles the .rc.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_velbro_icons})
set_source_files_properties("${_velbro_res}/velbro-vpn.rc" PROPERTIES
  COMPILE_DEFINITIONS "${_velbro_icon_bytes}"
  OBJECT_DEPENDS "${_velbro_icons};${_velbro_res}/velbro-vpn.manifest")

set(VELBRO_RESOURCE_FILES "${_velbro_res}/velbro-vpn.rc")
