# Makes, on the Linux side, a game folder whose _vanro is a symbolic link, for the launcher's test of
# a linked _vanro under Wine (cmake -P make_linked_game.cmake). Wine reports a Unix symbolic link to
# a directory as a reparse point, but no Windows call can make one. It goes into the Wine prefix's
# drive C: as C:\vanro-launcher-linked-game. Layout:
#   game/_vanro -> elsewhere    elsewhere/ an empty folder
if(DEFINED ENV{WINEPREFIX} AND NOT "$ENV{WINEPREFIX}" STREQUAL "")
  set(prefix "$ENV{WINEPREFIX}")
else()
  set(prefix "$ENV{HOME}/.wine")
endif()
if(NOT IS_DIRECTORY "${prefix}/drive_c")
  message(STATUS "no Wine prefix at ${prefix}: C:\\vanro-launcher-linked-game not made")
  return()
endif()
set(root "${prefix}/drive_c/vanro-launcher-linked-game")
file(REMOVE_RECURSE "${root}")
file(MAKE_DIRECTORY "${root}/game" "${root}/elsewhere")
file(CREATE_LINK "${root}/elsewhere" "${root}/game/_vanro" SYMBOLIC)
