# 32-bit Windows build: the programs we ship. They run here under scripts/wine32 (i386 Wine under qemu).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR X86)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(VANRO_MANIFEST_ARCH x86)
# A 32-bit Windows callback (window or dialog procedure, hook, timer) may be entered with a stack
# aligned to only 4 bytes, which is all the 32-bit ABI promises, while GCC assumes by default the 16
# that its own callers keep; a function that keeps SSE values in aligned stack slots (the
# SHA-extension block function, which the dialog's install and verify reach) would fault there.
# Telling GCC the ABI's real promise makes every function that needs more realign its own stack on
# entry, whoever calls it. -mstackrealign is not enough: GCC 12 realigns only where it knows of the
# need before register allocation, and that function's aligned slots are register spills.
set(CMAKE_C_FLAGS_INIT -mincoming-stack-boundary=2)
set(CMAKE_CXX_FLAGS_INIT -mincoming-stack-boundary=2)
