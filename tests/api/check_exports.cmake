# Checks that a built library exports exactly the eighteen functions of the
# public header, by their plain names, and nothing else.
#
#   cmake -DLIBRARY=<file> -DFORMAT=elf|pe -DTOOL=<nm|objdump> -P check_exports.cmake
#
# elf: the defined dynamic symbols (TOOL is nm, read with -D --defined-only);
#      undefined symbols are imports and do not count.
# pe:  the export name table of a DLL (TOOL is objdump, read with -p).
cmake_minimum_required(VERSION 3.25)

set(expected
  _get_err_comment _get_err_id _get_err_msg _get_err_params _get_err_where
  idx_adjust_cache idx_close idx_count_of idx_discard idx_enum_path idx_get_modify
  idx_id_of idx_index idx_open idx_path_of idx_query idx_save idx_time_of)

foreach(var LIBRARY FORMAT TOOL)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "check_exports: ${var} is not set")
  endif()
endforeach()
if(NOT EXISTS "${LIBRARY}")
  message(FATAL_ERROR "check_exports: no such file: ${LIBRARY}")
endif()

if(FORMAT STREQUAL "elf")
  set(command "${TOOL}" -D --defined-only "${LIBRARY}")
elseif(FORMAT STREQUAL "pe")
  set(command "${TOOL}" -p "${LIBRARY}")
else()
  message(FATAL_ERROR "check_exports: FORMAT must be elf or pe, not '${FORMAT}'")
endif()
execute_process(COMMAND ${command} OUTPUT_VARIABLE output ERROR_VARIABLE errors
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "check_exports: '${command}' failed (${status}): ${errors}")
endif()

string(REPLACE ";" "\\;" output "${output}")
string(REPLACE "\n" ";" lines "${output}")
set(found)
set(in_name_table FALSE)
foreach(line IN LISTS lines)
  if(FORMAT STREQUAL "elf")
    # "<address> <type> <name>[@version]"; type A marks a version node.
    if(line MATCHES "^[0-9a-fA-F]* *([A-Za-z]) ([^ @]+)" AND NOT CMAKE_MATCH_1 STREQUAL "A")
      list(APPEND found "${CMAKE_MATCH_2}")
    endif()
  else()
    # The entries of "[Ordinal/Name Pointer] Table" look like "[   0] name",
    # or "[   0] +base[   1] 0000 name" in newer objdump; the name is last.
    if(line MATCHES "\\[Ordinal/Name Pointer\\] Table")
      set(in_name_table TRUE)
    elseif(in_name_table)
      if(line MATCHES "^[ \t]*\\[ *[0-9]+\\].* ([^ \t]+)[ \t]*$")
        list(APPEND found "${CMAKE_MATCH_1}")
      elseif(NOT line MATCHES "^[ \t]*$")
        set(in_name_table FALSE)
      endif()
    endif()
  endif()
endforeach()

list(SORT found)
list(SORT expected)
set(missing ${expected})
if(found)
  list(REMOVE_ITEM missing ${found})
endif()
set(extra ${found})
list(REMOVE_ITEM extra ${expected})
list(LENGTH found count)
if(missing OR extra OR NOT count EQUAL 18)
  message(FATAL_ERROR "check_exports: ${LIBRARY} exports ${count} names\n"
                      "  missing: ${missing}\n  unexpected: ${extra}\n  all: ${found}")
endif()
message(STATUS "check_exports: exactly the 18 exports in ${LIBRARY}")
