#include "common/platform_main.h"
#include "launcher/launcher.h"

VANRO_PROGRAM_ENTRY(run_launcher)
