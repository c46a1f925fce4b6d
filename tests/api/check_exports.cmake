# Checks that a built library exports exactly the eighteen functions of the
# public header, by their plain names, and nothing else.
#
#   cmake -DLIBRARY=<file> -DFORMAT=elf|pe -DTOOL=<nm|objdump> -P check_exports.cmake
#
# elf: the defined dynamic symbols (nm -D --defined-only); undefined ones are
#      imports. pe: the export name table of a DLL (objdump -p).
cmake_minimum_required(VERSION 3.25)
set(expected
  _get_err_comment _get_err_id _get_err_msg _get_err_params _get_err_where
  idx_adjust_cache idx_close idx_count_of idx_discard idx_enum_path idx_get_modify
  idx_id_of idx_index idx_open idx_path_of idx_query idx_save idx_time_of)
if(FORMAT STREQUAL "elf")
  set(command "${TOOL}" -D --defined-only "${LIBRARY}")
else()
  set(command "${TOOL}" -p "${LIBRARY}")
endif()
execute_process(COMMAND ${command} OUTPUT_VARIABLE output RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "check_exports: '${command}' failed (${status})")
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
  elseif(line MATCHES "\\[Ordinal/Name Pointer\\] Table")
    set(in_name_table TRUE)
  elseif(in_name_table)
    # "[   0] name", or "[   0] +base[   1] 0000 name" in newer objdump.
    if(line MATCHES "^[ \t]*\\[ *[0-9]+\\].* ([^ \t]+)[ \t]*$")
      list(APPEND found "${CMAKE_MATCH_1}")
    elseif(NOT line MATCHES "^[ \t]*$")
      set(in_name_table FALSE)
    endif()
  endif()
endforeach()
list(SORT found)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "check_exports: ${LIBRARY} exports: ${found}\n  expected: ${expected}")
endif()
message(STATUS "check_exports: exactly the 18 exports in ${LIBRARY}")
