# The Windows installation: what `cmake --install` adds to the programs, firmwares and demo
# packages on Windows, and the installer made from it by CPack's NSIS generator
# (scripts/package-windows.sh: tptune-<version>-setup.exe).
#
# The installer asks for administrator rights and puts the installation into
# C:\Program Files\tptune\ (bin\ and share\tptune\ as on Linux) for every user of the machine;
# where it runs without them (an account that is no administrator, with UAC off) it installs for
# that user alone into Documents\tptune\ (CPack's NSIS script decides). It registers an
# uninstaller (Apps & Features) under a key that stays the same from version to version, so a
# newer installer removes the older programs before it lays down its own. Settings, error logs
# and records live in the user's data folder, which neither the upgrade nor the uninstaller
# touches.

# The DLLs the programs load that Windows does not bring with it (the PostgreSQL client library
# and OpenSSL's libssl and libcrypto that it loads, the compiler's run-time libraries when a
# library was linked against them): found by reading
# the imports of the installed programs and of each DLL in turn, in the folders the build keeps
# them in, and installed beside the programs. A system DLL is found in none of these folders and
# stays the system's.
set(dll_folders /usr/${TPTUNE_MINGW}/lib /usr/${TPTUNE_MINGW}/bin)
file(GLOB compiler_folders LIST_DIRECTORIES true /usr/lib/gcc/${TPTUNE_MINGW}/*-posix)
list(APPEND dll_folders ${compiler_folders})
set(installed_files)
foreach(program ${installed})
  list(APPEND dll_folders $<TARGET_FILE_DIR:${program}>)
  list(APPEND installed_files
       \${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${program}>)
endforeach()
install(CODE "
  set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
  set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
  set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND \"${CMAKE_OBJDUMP}\")
  file(GET_RUNTIME_DEPENDENCIES
    EXECUTABLES ${installed_files}
    RESOLVED_DEPENDENCIES_VAR shipped
    UNRESOLVED_DEPENDENCIES_VAR from_the_system
    DIRECTORIES ${dll_folders}
    PRE_EXCLUDE_REGEXES \"^api-ms-\" \"^ext-ms-\")
  foreach(dll \${shipped})
    file(INSTALL \${dll} DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  endforeach()
")

# The licence, shown by the installer and kept in the installation.
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt COPYONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt DESTINATION ${CMAKE_INSTALL_DOCDIR})

# ---- The installer ----
set(CPACK_GENERATOR NSIS)
# The values below reach the NSIS script as they are written here.
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_NAME tptune)
set(CPACK_PACKAGE_VENDOR tptune)
set(CPACK_PACKAGE_VERSION ${TPTUNE_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "crystal offset fine-tuning of TallyPilot handhelds and their radio server")
set(CPACK_PACKAGE_FILE_NAME tptune-${TPTUNE_VERSION}-setup)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR})
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt)
set(CPACK_STRIP_FILES ON)
# A 64-bit installer: NSIS makes a 32-bit one unless told, and a 64-bit-only Windows (or Wine)
# cannot start that. It installs into the 64-bit Program Files.
# The Start-menu folder keeps its name from version to version.
set(CPACK_NSIS_DEFINES "Target amd64-unicode
  !define MUI_STARTMENUPAGE_DEFAULTFOLDER \"tptune\"")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_PACKAGE_INSTALL_DIRECTORY tptune)
# One uninstall entry for every version, so that the next installer finds the one before.
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY tptune)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_NSIS_DISPLAY_NAME "tptune (TallyPilot fine-tuning)")
set(CPACK_NSIS_PACKAGE_NAME "tptune ${TPTUNE_VERSION}")
set(CPACK_NSIS_UNINSTALL_NAME uninstall)
set(CPACK_PACKAGE_CONTACT "${TPTUNE_MAINTAINER}")
# The uninstall entry's icon: the window's program file, which carries the program icon; the
# console program where there is no window.
if(TARGET tptune)
  set(CPACK_NSIS_INSTALLED_ICON_NAME "${CMAKE_INSTALL_BINDIR}\\tptune.exe")
else()
  set(CPACK_NSIS_INSTALLED_ICON_NAME "${CMAKE_INSTALL_BINDIR}\\tptune-cli.exe")
endif()

# Start-menu entries: the window, and the production records from a console in the program
# folder that starts with tptune-records' help (it is a console program, so an entry of its own
# would open and close a window).
set(CPACK_NSIS_EXECUTABLES_DIRECTORY ${CMAKE_INSTALL_BINDIR})
if(TARGET tptune)
  set(CPACK_PACKAGE_EXECUTABLES tptune "TallyPilot fine-tuning")
endif()
if(TARGET tptune-records)
  # The uninstaller names the Start-menu folder $MUI_TEMP, the installer $STARTMENU_FOLDER.
  set(records_link "TallyPilot production records.lnk")
  set(CPACK_NSIS_CREATE_ICONS_EXTRA "
  SetOutPath \"$INSTDIR\\${CMAKE_INSTALL_BINDIR}\"
  CreateShortCut \"$SMPROGRAMS\\$STARTMENU_FOLDER\\${records_link}\" \"$SYSDIR\\cmd.exe\" '/k tptune-records.exe --help' \"$INSTDIR\\${CMAKE_INSTALL_BINDIR}\\tptune-records.exe\"
  SetOutPath \"$INSTDIR\"")
  set(CPACK_NSIS_DELETE_ICONS_EXTRA "
  Delete \"$SMPROGRAMS\\$MUI_TEMP\\${records_link}\"")
endif()
include(CPack)
