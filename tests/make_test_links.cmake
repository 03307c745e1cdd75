# Makes the symbolic links that the Windows tests need, on the Linux side (cmake -DROOT=... -P).
# Wine reports a Unix symbolic link to a directory as a reparse point, but no call of the Windows
# side can make one (CreateSymbolicLinkW is a stub and junctions cannot be made), so ctest runs this
# as the fixture `wine_test_links` before the Windows tests. Layout under each root:
#   real/sub/deeper/    plain directories
#   linked   -> real    so linked\sub\deeper lies two levels below a reparse point
#   dangling -> absent  a link to nothing
# The layout is made twice: under ROOT in the build folder (Z:\...), and as C:\vanro-test-links in
# the Wine prefix, the drive the Windows tests work on.
if(NOT ROOT)
  message(FATAL_ERROR "usage: cmake -DROOT=<folder> -P make_test_links.cmake")
endif()

function(make_links root)
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root}/real/sub/deeper)
  file(CREATE_LINK ${root}/real ${root}/linked SYMBOLIC)
  file(CREATE_LINK ${root}/absent ${root}/dangling SYMBOLIC)
endfunction()

make_links(${ROOT})
if(DEFINED ENV{WINEPREFIX} AND NOT "$ENV{WINEPREFIX}" STREQUAL "")
  set(prefix "$ENV{WINEPREFIX}")
else()
  set(prefix "$ENV{HOME}/.wine")
endif()
if(IS_DIRECTORY "${prefix}/drive_c")
  make_links("${prefix}/drive_c/vanro-test-links")
else()
  message(STATUS "no Wine prefix at ${prefix}: C:\\vanro-test-links not made")
endif()
