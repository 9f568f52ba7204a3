# The client library: one set of objects, linked into the shared library that
# hosts load and into an internal static library that the tests link.
set(PALAVER_SOURCES
  protocol/frame_reader.cpp
  protocol/client_messages.cpp
  protocol/server_messages.cpp
  protocol/login_reply.cpp
  platform/process_exit.cpp
  platform/socket_address.cpp
  connection/send.cpp
  connection/connection_lost.cpp
  connection/notices.cpp
  connection/room_updater.cpp
  connection/server_address.cpp
  connection/login.cpp
  connection/receive_loop.cpp
  connection/logout.cpp
  connection/tls_stream.cpp
  connection/use_tls.cpp
  client/error.cpp
  client/talk_queue.cpp
  client/client_state.cpp
  client/commands.cpp
  client/queries.cpp
  module/timing.cpp
  module/winsock_startup.cpp
  module/default_client.cpp
  module/chatcomunicate.cpp
  module/placeholders.cpp
  c_api/client_handle.cpp
  c_api/requests.cpp
  c_api/queries.cpp
  c_api/tls.cpp
)
if(WIN32)
  list(APPEND PALAVER_SOURCES platform/socket_win32.cpp platform/worker_thread_win32.cpp
    platform/tls_schannel.cpp platform/schannel_certificate.cpp)
else()
  list(APPEND PALAVER_SOURCES platform/socket_posix.cpp platform/worker_thread_std.cpp)
endif()
if(NOT WIN32)
  # TLS on OpenSSL, loaded when a client first asks for it.
  list(APPEND PALAVER_SOURCES platform/openssl_library.cpp platform/tls_openssl.cpp)
endif()

find_package(Threads REQUIRED)

add_library(palaver_objects OBJECT ${PALAVER_SOURCES})
target_include_directories(palaver_objects PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>)
target_compile_definitions(palaver_objects PUBLIC PALAVER_BUILDING)
set_target_properties(palaver_objects PROPERTIES
  POSITION_INDEPENDENT_CODE ON
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)
target_link_libraries(palaver_objects PRIVATE palaver_warnings PUBLIC Threads::Threads)
if(WIN32)
  # Schannel (secur32) and the certificate chain engine (crypt32): system DLLs.
  target_link_libraries(palaver_objects PUBLIC ws2_32 secur32 crypt32)
endif()
if(NOT WIN32)
  # OpenSSL's headers only: the library loads libssl when a client first asks
  # for TLS, so it never links it and runs where it is missing.
  find_path(PALAVER_OPENSSL_INCLUDE openssl/ssl.h REQUIRED)
  target_include_directories(palaver_objects SYSTEM PRIVATE ${PALAVER_OPENSSL_INCLUDE})
endif()

# Internal: the same code with every internal symbol reachable, for the tests,
# the fuzzers and the benchmarks.
add_library(palaver_internal STATIC $<TARGET_OBJECTS:palaver_objects>)
target_link_libraries(palaver_internal PUBLIC palaver_objects)

add_library(Palaver SHARED $<TARGET_OBJECTS:palaver_objects>)
target_include_directories(Palaver PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:include>)
target_link_libraries(Palaver PRIVATE Threads::Threads)
if(WIN32)
  target_link_libraries(Palaver PRIVATE ws2_32 secur32 crypt32)
endif()
set_target_properties(Palaver PROPERTIES
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR})
add_library(Palaver::Palaver ALIAS Palaver)

if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/PalaverWindows.cmake)
endif()

if(NOT WIN32)
  target_link_options(Palaver PRIVATE "LINKER:--version-script=${PROJECT_SOURCE_DIR}/cmake/palaver.map")
  set_property(TARGET Palaver APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/palaver.map)
  # The C++ runtime goes inside the library, hidden by the version script, so
  # that a host in C or any other language loads none. Not with a sanitizer,
  # whose runtime needs the shared C++ runtime and must see every allocation.
  if(NOT PALAVER_SANITIZE)
    target_link_options(Palaver PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endif()
