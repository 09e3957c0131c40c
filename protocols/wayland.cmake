# Client code for Wayland protocols, made by wayland-scanner at build time: the wlroots ones from
# this folder (Debian has no package for them), the rest from wayland-protocols.
# Included once; the target and the paths are visible in every folder (the tests' too).
include_guard(GLOBAL)
pkg_check_modules(WAYLAND_CLIENT REQUIRED IMPORTED_TARGET GLOBAL wayland-client)
pkg_get_variable(protocols_dir wayland-protocols pkgdatadir)
pkg_get_variable(scanner wayland-scanner wayland_scanner)
if(NOT protocols_dir OR NOT scanner)
  message(FATAL_ERROR "wayland-protocols and wayland-scanner (libwayland-bin) are needed")
endif()
set(TARVO_WAYLAND_PROTOCOLS_DIR ${protocols_dir} CACHE INTERNAL "")
set(TARVO_WAYLAND_SCANNER ${scanner} CACHE INTERNAL "")
set(TARVO_PROTOCOLS_DIR ${CMAKE_CURRENT_LIST_DIR} CACHE INTERNAL "")

# tarvo_wayland_protocols(<library> <xml>...): a static library of the generated glue, with the
# headers on its public include path.
function(tarvo_wayland_protocols library)
  set(out ${CMAKE_BINARY_DIR}/generated/wayland/${library})
  file(MAKE_DIRECTORY ${out})
  set(sources)
  foreach(xml ${ARGN})
    get_filename_component(base ${xml} NAME_WE)
    add_custom_command(OUTPUT ${out}/${base}-client-protocol.h
      COMMAND ${TARVO_WAYLAND_SCANNER} client-header ${xml} ${out}/${base}-client-protocol.h
      DEPENDS ${xml} VERBATIM)
    add_custom_command(OUTPUT ${out}/${base}-protocol.c
      COMMAND ${TARVO_WAYLAND_SCANNER} private-code ${xml} ${out}/${base}-protocol.c
      DEPENDS ${xml} VERBATIM)
    list(APPEND sources ${out}/${base}-client-protocol.h ${out}/${base}-protocol.c)
  endforeach()
  add_library(${library} STATIC ${sources})
  target_include_directories(${library} PUBLIC ${out})
  target_link_libraries(${library} PUBLIC PkgConfig::WAYLAND_CLIENT)
  set_target_properties(${library} PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
endfunction()
