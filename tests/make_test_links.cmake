# Makes the symbolic links that the Windows tests need, on the Linux side (cmake -DROOT=... -P).
# Wine reports a Unix symbolic link to a directory as a reparse point, but no call of the Windows
# side can make one (CreateSymbolicLinkW is a stub and junctions cannot be made), so ctest runs this
# as the fixture `wine_test_links` before the Windows tests. Layout under ROOT:
#   real/sub/deeper/    plain directories
#   linked   -> real    so linked\sub\deeper lies two levels below a reparse point
#   dangling -> absent  a link to nothing
if(NOT ROOT)
  message(FATAL_ERROR "usage: cmake -DROOT=<folder> -P make_test_links.cmake")
endif()
file(REMOVE_RECURSE ${ROOT})
file(MAKE_DIRECTORY ${ROOT}/real/sub/deeper)
file(CREATE_LINK ${ROOT}/real ${ROOT}/linked SYMBOLIC)
file(CREATE_LINK ${ROOT}/absent ${ROOT}/dangling SYMBOLIC)
