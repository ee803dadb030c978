# Everything that lists the library's exports is generated from one table,
# interface/exports.tsv:
#
#   KX_ICCReader.def         the DLL's exports at their ordinals (32-bit: each
#                            name bound to its decorated stdcall symbol, so a
#                            signature that drifts fails to link)
#   KX_ICCReader.import.def  the names callers link to, for the import
#                            libraries (32-bit: decorated, name@bytes)
#   libKX_ICCReader.map      the .so's version script
#   exports_table.h          a C table of every row, for the test hosts
#   exports.txt              "name bytes routine state ordinal" lines, for scripts
#
# Re-run whenever the table changes; files are rewritten only when their text
# changes, so a re-run does not relink anything.

function(kx_write_if_changed path text)
  set(old "")
  if(EXISTS ${path})
    file(READ ${path} old)
  endif()
  if(NOT old STREQUAL text)
    file(WRITE ${path} "${text}")
  endif()
endfunction()

function(kx_generate_exports table outdir)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${table})
  file(STRINGS ${table} lines REGEX "^[-0-9]")
  set(def "; Generated from interface/exports.tsv.\nLIBRARY KX_ICCReader.dll\nEXPORTS\n")
  set(import_def "LIBRARY KX_ICCReader.dll\nEXPORTS\n")
  set(map "/* Generated from interface/exports.tsv: the library's C functions and\n   nothing else (libstdc++ template instances escape -fvisibility=hidden). */\n{\n  global:\n")
  set(rows "")
  set(listing "")
  foreach(line IN LISTS lines)
    string(REPLACE "\t" ";" f "${line}")
    list(LENGTH f count)
    if(NOT count EQUAL 5)
      message(FATAL_ERROR "exports.tsv: malformed row '${line}'")
    endif()
    list(GET f 0 ordinal)
    list(GET f 1 name)
    list(GET f 2 bytes)
    list(GET f 3 routine)
    list(GET f 4 state)
    if(routine STREQUAL "-")
      set(routine ${name})
    endif()
    if(state STREQUAL "built")
      if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        string(APPEND def "  ${name} = ${routine}@${bytes} @${ordinal}\n")
      else()
        # A 64-bit build has no stdcall decoration.
        string(APPEND def "  ${name} = ${routine} @${ordinal}\n")
      endif()
      if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        string(APPEND import_def "  ${name}@${bytes} @${ordinal}\n")
      else()
        string(APPEND import_def "  ${name} @${ordinal}\n")
      endif()
    endif()
    if(state STREQUAL "built" OR state STREQUAL "posix")
      string(APPEND map "    ${name};\n")
    elseif(NOT state STREQUAL "pending")
      message(FATAL_ERROR "exports.tsv: unknown state '${state}' for ${name}")
    endif()
    if(ordinal STREQUAL "-")
      set(ordinal 0)
    endif()
    string(APPEND rows "    {${ordinal}, \"${name}\", ${bytes}, \"${routine}\", \"${state}\"},\n")
    string(APPEND listing "${name} ${bytes} ${routine} ${state} ${ordinal}\n")
  endforeach()
  string(APPEND map "  local:\n    *;\n};\n")
  kx_write_if_changed(${outdir}/KX_ICCReader.def "${def}")
  kx_write_if_changed(${outdir}/KX_ICCReader.import.def "${import_def}")
  kx_write_if_changed(${outdir}/libKX_ICCReader.map "${map}")
  kx_write_if_changed(${outdir}/exports.txt "${listing}")
  kx_write_if_changed(${outdir}/exports_table.h
"/* Generated from interface/exports.tsv. */
typedef struct {
  int ordinal; /* 0: POSIX-only extension */
  const char* name;
  int argBytes;
  const char* routine; /* the function behind the name */
  const char* state;   /* \"built\", \"pending\" or \"posix\" */
} ExportEntry;
static const ExportEntry kExportTable[] = {
${rows}};
")
endfunction()

# The sizes of CombinedData's text per file are stated once, as the public
# header's KX_COMBINED_TEXT_SIZE_<directory>_<file> macros; the library's
# lookup table of them (combined_text_sizes.inc, one "{dir, file, size}," row
# a macro) is generated from the header, so the two cannot drift apart.
function(kx_generate_combined_text_sizes header outdir)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${header})
  file(STRINGS ${header} lines REGEX "^#define KX_COMBINED_TEXT_SIZE_[0-9A-F]+_[0-9A-F]+ ")
  set(rows "/* Generated from KX_ICCReader.h. */\n")
  foreach(line IN LISTS lines)
    string(REGEX MATCH "KX_COMBINED_TEXT_SIZE_([0-9A-F]+)_([0-9A-F]+)" name "${line}")
    string(APPEND rows "{\"${CMAKE_MATCH_1}\", \"${CMAKE_MATCH_2}\", ${name}},\n")
  endforeach()
  kx_write_if_changed(${outdir}/combined_text_sizes.inc "${rows}")
endfunction()
