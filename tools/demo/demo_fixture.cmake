# Run by ctest (fixture demo_small) before the Windows tests: makes the small demo package with the
# native build's vanro-demo, which a Windows program cannot run. Without a native build there is
# nothing to make it with; this then only warns, so that the tests that do not need the demo still
# run, and those that need it say what is missing.
#   cmake -DDEMO=<vanro-demo> -DOUT=<folder> -DLAUNCHER=<exe> -DINSTALLER=<exe> -P demo_fixture.cmake
if(NOT EXISTS "${DEMO}")
  message(WARNING "${DEMO} does not exist: build the native preset's vanro-demo first "
                  "(cmake --preset native && cmake --build build/native --target vanro-demo) or set "
                  "VANRO_HOST_TOOLS_DIR; the tests that use the demo package will fail.")
  return()
endif()
execute_process(COMMAND "${DEMO}" --profile small --seed 1 --out "${OUT}" --launcher "${LAUNCHER}"
                        --installer "${INSTALLER}"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "vanro-demo failed (${result})")
endif()
