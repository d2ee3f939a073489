# Makes the package's machine-readable copyright file from LICENSE at the project's root: the
# notice line and the licence text under the Expat name (the MIT licence as Debian names it).
#
#   cmake -DLICENSE=LICENSE -DOUTPUT=copyright -P copyright.cmake
file(STRINGS ${LICENSE} lines)
set(notice "")
set(text "")
foreach(line IN LISTS lines)
  if(line MATCHES "^Copyright \\(c\\) (.*)$")
    set(notice "${CMAKE_MATCH_1}")
  elseif(line STREQUAL "")
    string(APPEND text " .\n")
  elseif(NOT line STREQUAL "MIT License")
    string(APPEND text " ${line}\n")
  endif()
endforeach()
if(NOT notice)
  message(FATAL_ERROR "${LICENSE} has no \"Copyright (c)\" line")
endif()
string(REGEX REPLACE "^ \\.\n" "" text "${text}")
file(WRITE ${OUTPUT}
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: tptune

Files: *
Copyright: ${notice}
License: Expat
${text}")
