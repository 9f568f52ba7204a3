# Windows specifics of the library's build: the module entry point, the
# MinGW-w64 runtime DLLs beside it in bin/, and Palaver.lib.

# The module is Palaver.dll, as hosts load it; its import library keeps the
# toolchain's usual name, libPalaver.dll.a.
set_target_properties(Palaver PROPERTIES
  PREFIX ""
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# Only the DLL has an entry point; the internal library goes into programs.
target_sources(Palaver PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/api/dll_main.cpp)
target_include_directories(Palaver PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(Palaver PRIVATE PALAVER_BUILDING)
target_link_libraries(Palaver PRIVATE palaver_warnings)

# Host and library share one C++ runtime and one heap, so the runtime stays in
# its DLLs: every host built with this toolchain loads the same copies.
set(PALAVER_RUNTIME_DLLS libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
foreach(dll ${PALAVER_RUNTIME_DLLS})
  execute_process(
    COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
    OUTPUT_VARIABLE _path
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${_path}" OR NOT EXISTS "${_path}")
    message(FATAL_ERROR "MinGW-w64 runtime ${dll} not found by ${CMAKE_CXX_COMPILER}")
  endif()
  configure_file(${_path} ${CMAKE_BINARY_DIR}/bin/${dll} COPYONLY)
endforeach()

# Palaver.lib, the import library that Microsoft's linker reads: the MinGW
# linker writes the DLL's export list as a module-definition file, and
# llvm-dlltool makes the import library from it, in Microsoft's format.
find_program(PALAVER_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
set(PALAVER_DEF_FILE ${CMAKE_BINARY_DIR}/Palaver.def)
set(PALAVER_MSVC_IMPORT_LIBRARY ${CMAKE_BINARY_DIR}/Palaver.lib CACHE INTERNAL "Palaver.lib")
target_link_options(Palaver PRIVATE "LINKER:--output-def,${PALAVER_DEF_FILE}")
add_custom_command(TARGET Palaver POST_BUILD
  COMMAND ${PALAVER_DLLTOOL} -m i386:x86-64 -D Palaver.dll -d ${PALAVER_DEF_FILE}
          -l ${PALAVER_MSVC_IMPORT_LIBRARY}
  BYPRODUCTS ${PALAVER_MSVC_IMPORT_LIBRARY}
  VERBATIM)
