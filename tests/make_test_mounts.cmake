# Mounts, on the Linux side, the file systems that the Windows tests of other file systems need, and
# unmounts them after (cmake -DROOT=<folder> -DGAME=<demo game folder> -DACTION=mount|unmount -P ...).
# Wine marks every Linux mount point as a reparse point, as it marks a Steam Deck's /home, an SD
# card or a second disk. Under ROOT:
#   disk/       a file system of its own, empty, for a game and a package
#   readonly/   a read-only file system holding a copy of the demo's game folder in game/
# Mounting needs root; without it nothing is mounted, and the tests that need the mounts skip.
if(NOT ROOT OR NOT ACTION)
  message(FATAL_ERROR "usage: cmake -DROOT=<folder> -DGAME=<folder> -DACTION=mount|unmount -P make_test_mounts.cmake")
endif()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
  set(result ${result} PARENT_SCOPE)
endfunction()

foreach(name disk readonly)
  run(umount -l ${ROOT}/${name})
endforeach()
if(ACTION STREQUAL "unmount")
  return()
endif()

file(REMOVE_RECURSE ${ROOT})
file(MAKE_DIRECTORY ${ROOT}/disk ${ROOT}/readonly)
run(mount -t tmpfs -o size=256m vanro-test-disk ${ROOT}/disk)
if(NOT result EQUAL 0)
  message(STATUS "no file system could be mounted at ${ROOT} (not root?): the tests of other file systems skip")
  return()
endif()
run(mount -t tmpfs -o size=64m vanro-test-readonly ${ROOT}/readonly)
file(COPY ${GAME} DESTINATION ${ROOT}/readonly)
run(mount -o remount,ro ${ROOT}/readonly)
