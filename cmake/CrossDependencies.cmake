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
