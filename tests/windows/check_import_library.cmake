# Palaver.lib, the import library for Microsoft's linker, names every function
# of the C interface (as palaver_c.h declares them) and the DLL they live in.
#   cmake -DNM=llvm-nm -DLIB=Palaver.lib -DHEADER=palaver_c.h -P check_import_library.cmake
execute_process(COMMAND ${NM} ${LIB} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} ${LIB} failed")
endif()

file(READ ${HEADER} header)
string(REGEX MATCHALL "PALAVER_C_API[^(;]*[ *]palaver_[a-z_]+\\(" declarations "${header}")
set(missing)
foreach(declaration IN LISTS declarations)
  string(REGEX MATCH "palaver_[a-z_]+\\($" name "${declaration}")  # not the return type
  string(REPLACE "(" "" name "${name}")
  # The function's thunk and its import address entry.
  if(NOT symbols MATCHES " T ${name}\n" OR NOT symbols MATCHES " T __imp_${name}\n")
    list(APPEND missing ${name})
  endif()
endforeach()
list(LENGTH declarations count)
if(count EQUAL 0 OR missing)
  message(FATAL_ERROR "${LIB} lacks: ${missing} (of ${count} functions)")
endif()
if(NOT symbols MATCHES "(^|\n)Palaver\\.dll:")
  message(FATAL_ERROR "${LIB} does not import from Palaver.dll")
endif()
message(STATUS "${LIB} names all ${count} C functions")
