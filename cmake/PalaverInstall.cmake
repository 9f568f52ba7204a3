# cmake --install: the headers, the shared library (on Windows also
# Palaver.lib), the server and the chat client, a CMake package
# (find_package(Palaver) gives Palaver::Palaver) and a pkg-config file
# (palaver.pc). Both package files find the prefix relative to themselves, so
# the tree can be installed with any --prefix and moved.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(PALAVER_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Palaver)
set(PALAVER_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS Palaver EXPORT PalaverTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
if(WIN32)
  install(FILES ${PALAVER_MSVC_IMPORT_LIBRARY} DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
install(FILES
  ${PROJECT_SOURCE_DIR}/include/Palaver.h
  ${PROJECT_SOURCE_DIR}/include/PalaverProfile.h
  ${PROJECT_SOURCE_DIR}/include/palaver_records.h
  ${PROJECT_SOURCE_DIR}/include/palaver_c.h
  ${PROJECT_SOURCE_DIR}/include/palaver.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT PalaverTargets
  NAMESPACE Palaver::
  FILE PalaverTargets.cmake
  DESTINATION ${PALAVER_CMAKE_DIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/PalaverConfig.cmake.in
  ${PROJECT_BINARY_DIR}/PalaverConfig.cmake
  INSTALL_DESTINATION ${PALAVER_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/PalaverConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/PalaverConfig.cmake
  ${PROJECT_BINARY_DIR}/PalaverConfigVersion.cmake
  DESTINATION ${PALAVER_CMAKE_DIR})

file(RELATIVE_PATH PALAVER_PC_TO_PREFIX
  /prefix/${PALAVER_PKGCONFIG_DIR} /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/palaver.pc.in ${PROJECT_BINARY_DIR}/palaver.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/palaver.pc DESTINATION ${PALAVER_PKGCONFIG_DIR})

# The programs find the library next to them, in ../lib, wherever the tree is.
file(RELATIVE_PATH PALAVER_BIN_TO_LIB
  /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
foreach(program palaver-server palaver-chat)
  if(TARGET ${program})
    if(NOT WIN32)
      set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/${PALAVER_BIN_TO_LIB}")
    endif()
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
