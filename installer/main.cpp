#include "common/platform_main.h"
#include "installer/entry.h"

VANRO_PROGRAM_ENTRY(run_installer)
