# Compares the export table of a DLL, as objdump -p prints it, with a list of
# names: the interface must be exported whole and nothing else.
#   cmake -DOBJDUMP=... -DDLL=... -DEXPECTED=... -P check_exports.cmake
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()

# The name table: a header line, then one "[ n] name" line per export.
string(REPLACE "\n" ";" lines "${dump}")
set(exported)
set(in_table FALSE)
foreach(line IN LISTS lines)
  if(line MATCHES "Ordinal/Name Pointer. Table")
    set(in_table TRUE)
  elseif(in_table AND line MATCHES "^[ \t]*.[ 0-9]+. (.+)$")
    list(APPEND exported "${CMAKE_MATCH_1}")
  elseif(in_table)
    break()
  endif()
endforeach()
list(SORT exported)

file(STRINGS ${EXPECTED} expected)
list(SORT expected)

if(NOT exported STREQUAL expected)
  set(missing ${expected})
  list(REMOVE_ITEM missing ${exported})
  set(extra ${exported})
  list(REMOVE_ITEM extra ${expected})
  message(FATAL_ERROR "exports differ\n missing: ${missing}\n unexpected: ${extra}")
endif()
list(LENGTH exported count)
message(STATUS "${count} exports, as expected")
