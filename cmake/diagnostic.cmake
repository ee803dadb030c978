# The diagnostic build's exports record every call (diagnostic/capture_exports.cpp
# defines each export around the library's own function). The library's own
# functions get the name kxreal_NAME in a copy of the interface layer's
# archive; the map comes from interface/exports.tsv.
#
# kx_interface_renamed(TARGET): an imported static library, the renamed copy.
function(kx_interface_renamed target)
  file(STRINGS ${CMAKE_SOURCE_DIR}/interface/exports.tsv lines REGEX "^[-0-9]")
  set(map "")
  foreach(line IN LISTS lines)
    string(REPLACE "\t" ";" f "${line}")
    list(GET f 1 name)
    list(GET f 2 bytes)
    list(GET f 4 state)
    if(state STREQUAL "pending" OR (WIN32 AND state STREQUAL "posix"))
      continue()
    endif()
    if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
      string(APPEND map "_${name}@${bytes} _kxreal_${name}@${bytes}\n")
    else()
      string(APPEND map "${name} kxreal_${name}\n")
    endif()
  endforeach()
  set(renames ${CMAKE_BINARY_DIR}/diagnostic_renames.txt)
  kx_write_if_changed(${renames} "${map}")
  set(archive ${CMAKE_BINARY_DIR}/libkx_interface_renamed.a)
  add_custom_command(OUTPUT ${archive}
    COMMAND ${CMAKE_OBJCOPY} --redefine-syms=${renames} $<TARGET_FILE:kx_interface> ${archive}
    DEPENDS kx_interface ${renames}
    COMMENT "The interface layer with the exports renamed kxreal_NAME" VERBATIM)
  add_custom_target(${target}_archive DEPENDS ${archive})
  add_library(${target} STATIC IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES IMPORTED_LOCATION ${archive}
    INTERFACE_LINK_LIBRARIES "kx_services;kx_dictionary;kx_card;kx_reader;kx_link;kx_platform;kx_core")
  add_dependencies(${target} ${target}_archive)
endfunction()
