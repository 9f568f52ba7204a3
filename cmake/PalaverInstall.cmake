# cmake --install: the headers, the shared library (on Windows also
# Palaver.lib), the server and the chat client, a CMake package
# (find_package(Palaver) gives Palaver::Palaver) and a pkg-config file
# (palaver.pc). Both package files find the prefix relative to themselves, so
# the tree can be installed with any --prefix and moved. Each file belongs to
# the component of the Debian package that carries it (packaging/deb):
# runtime (libpalaver1), development (libpalaver-dev), server, chat.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(PALAVER_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Palaver)
set(PALAVER_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS Palaver EXPORT PalaverTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
if(WIN32)
  install(FILES ${PALAVER_MSVC_IMPORT_LIBRARY} DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT development)
endif()
install(FILES
  ${PROJECT_SOURCE_DIR}/include/Palaver.h
  ${PROJECT_SOURCE_DIR}/include/PalaverProfile.h
  ${PROJECT_SOURCE_DIR}/include/palaver_records.h
  ${PROJECT_SOURCE_DIR}/include/palaver_c.h
  ${PROJECT_SOURCE_DIR}/include/palaver.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT development)
install(EXPORT PalaverTargets
  NAMESPACE Palaver::
  FILE PalaverTargets.cmake
  DESTINATION ${PALAVER_CMAKE_DIR}
  COMPONENT development)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/PalaverConfig.cmake.in
  ${PROJECT_BINARY_DIR}/PalaverConfig.cmake
  INSTALL_DESTINATION ${PALAVER_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/PalaverConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/PalaverConfig.cmake
  ${PROJECT_BINARY_DIR}/PalaverConfigVersion.cmake
  DESTINATION ${PALAVER_CMAKE_DIR}
  COMPONENT development)

file(RELATIVE_PATH PALAVER_PC_TO_PREFIX
  /prefix/${PALAVER_PKGCONFIG_DIR} /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/palaver.pc.in ${PROJECT_BINARY_DIR}/palaver.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/palaver.pc DESTINATION ${PALAVER_PKGCONFIG_DIR}
  COMPONENT development)

# The programs find the library next to them, in ../lib, wherever the tree is.
file(RELATIVE_PATH PALAVER_BIN_TO_LIB
  /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
foreach(program palaver-server:server palaver-chat:chat)
  string(REPLACE ":" ";" program ${program})
  list(GET program 0 target)
  list(GET program 1 component)
  if(TARGET ${target})
    if(NOT WIN32)
      set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${PALAVER_BIN_TO_LIB}")
    endif()
    install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component})
  endif()
endforeach()
