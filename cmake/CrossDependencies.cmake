# Libraries of a cross build that Debian ships only for the host: GoogleTest is built from its
# sources in /usr/src/googletest, and nlohmann-json's headers are used from a copy, so that the
# host's include directory stays out of the build.
if(NOT TARGET nlohmann_json::nlohmann_json)
  set(json_copy ${CMAKE_BINARY_DIR}/cross-include)
  if(NOT EXISTS ${json_copy}/nlohmann/json.hpp)
    file(COPY /usr/include/nlohmann DESTINATION ${json_copy})
  endif()
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${json_copy})
endif()

macro(tptune_cross_googletest)
  if(NOT TARGET GTest::gtest)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    # Its build defines the GTest:: names the tests link with.
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  endif()
endmacro()

# The record store's libraries: SQLite (static), OpenSSL's libcrypto and libssl and libpq with
# TLS (DLLs that ship beside the programs), built with this compiler from Debian's source
# packages by scripts/build-windows-deps.sh, once into a cache outside the source tree (the first
# configure fetches and builds them, several minutes; later ones find them there).
# TPTUNE_WINDOWS_DEPS names a folder built beforehand.
set(TPTUNE_WINDOWS_DEPS "" CACHE PATH
    "SQLite, OpenSSL and libpq built for mingw (scripts/build-windows-deps.sh); built when empty")
set(windows_deps ${TPTUNE_WINDOWS_DEPS})
# A folder named that has since been removed from the cache, or one of an older recipe without
# OpenSSL, is built anew.
if(NOT windows_deps OR NOT EXISTS ${windows_deps}/.complete
   OR NOT EXISTS ${windows_deps}/openssl/bin/libcrypto-3-x64.dll)
  message(STATUS "SQLite, OpenSSL and libpq for mingw: scripts/build-windows-deps.sh")
  execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/build-windows-deps.sh
                  OUTPUT_VARIABLE windows_deps OUTPUT_STRIP_TRAILING_WHITESPACE
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
message(STATUS "SQLite, OpenSSL and libpq for mingw: ${windows_deps}")
if(NOT TARGET SQLite::SQLite3)
  add_library(SQLite::SQLite3 STATIC IMPORTED)
  set_target_properties(SQLite::SQLite3 PROPERTIES
    IMPORTED_LOCATION ${windows_deps}/sqlite3/lib/libsqlite3.a
    INTERFACE_INCLUDE_DIRECTORIES ${windows_deps}/sqlite3/include)
endif()
# OpenSSL under the names CMake's FindOpenSSL gives on Linux, so that code using libcrypto
# links alike on both platforms.
if(NOT TARGET OpenSSL::Crypto)
  add_library(OpenSSL::Crypto SHARED IMPORTED)
  set_target_properties(OpenSSL::Crypto PROPERTIES
    IMPORTED_LOCATION ${windows_deps}/openssl/bin/libcrypto-3-x64.dll
    IMPORTED_IMPLIB ${windows_deps}/openssl/lib/libcrypto.dll.a
    INTERFACE_INCLUDE_DIRECTORIES ${windows_deps}/openssl/include)
  add_library(OpenSSL::SSL SHARED IMPORTED)
  set_target_properties(OpenSSL::SSL PROPERTIES
    IMPORTED_LOCATION ${windows_deps}/openssl/bin/libssl-3-x64.dll
    IMPORTED_IMPLIB ${windows_deps}/openssl/lib/libssl.dll.a
    INTERFACE_INCLUDE_DIRECTORIES ${windows_deps}/openssl/include
    INTERFACE_LINK_LIBRARIES OpenSSL::Crypto)
endif()
if(NOT TARGET PostgreSQL::PostgreSQL)
  add_library(PostgreSQL::PostgreSQL SHARED IMPORTED)
  # libpq.dll loads OpenSSL's DLLs: naming them here puts them among the DLLs every program
  # that uses libpq gets beside itself (tptune_copy_runtime_dlls below).
  set_target_properties(PostgreSQL::PostgreSQL PROPERTIES
    IMPORTED_LOCATION ${windows_deps}/libpq/bin/libpq.dll
    IMPORTED_IMPLIB ${windows_deps}/libpq/lib/libpq.dll.a
    INTERFACE_INCLUDE_DIRECTORIES ${windows_deps}/libpq/include
    INTERFACE_LINK_LIBRARIES OpenSSL::SSL)
endif()
# zlib from Debian's libz-mingw-w64-dev, linked statically like everything else.
set(ZLIB_USE_STATIC_LIBS ON)
find_package(ZLIB REQUIRED)

# Every program that needs a DLL of the build's gets a copy beside itself, so it runs from the
# build folder as it runs installed.
function(tptune_collect_programs dir out_var)
  set(programs)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      list(APPEND programs ${target})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir ${subdirs})
    tptune_collect_programs(${subdir} more)
    list(APPEND programs ${more})
  endforeach()
  set(${out_var} ${programs} PARENT_SCOPE)
endfunction()
function(tptune_copy_runtime_dlls)
  tptune_collect_programs(${CMAKE_SOURCE_DIR} programs)
  set(commands)
  foreach(target ${programs})
    set(dlls $<TARGET_RUNTIME_DLLS:${target}>)
    list(APPEND commands COMMAND ${CMAKE_COMMAND} -E make_directory $<TARGET_FILE_DIR:${target}>
                         COMMAND ${CMAKE_COMMAND} -E $<IF:$<BOOL:${dlls}>,copy_if_different,true>
                                 ${dlls} $<TARGET_FILE_DIR:${target}>)
  endforeach()
  add_custom_target(tptune_runtime_dlls ALL ${commands} COMMAND_EXPAND_LISTS
                    COMMENT "The DLLs the programs need, beside them")
  foreach(target ${programs})
    add_dependencies(${target} tptune_runtime_dlls)
  endforeach()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL tptune_copy_runtime_dlls)
