// The Linux build of the installer has no window system: it serves scripted runs (with --quiet)
// and the native tests. What the window would do is answered here the way a script expects.
#include <exception>
#include <string>

#include "common/patch_error.h"
#include "installer/report.h"
#include "installer/window/window.h"

// Without a window the entry reports this like any failure to open the dialog (exit code 1), so a
// run without --quiet fails at once instead of waiting for a user who cannot see anything.
int run_main_dialog(const std::u16string&) { throw PatchError("无法创建补丁安装界面。"); }

// As if the user cancelled: uninstall or verify without a directory and without --quiet ends
// with exit code 3 and changes nothing.
std::u16string browse_for_game_dir(void*) { return {}; }

// There is never a dialog to own the report; the dialog, the only caller, cannot exist here.
void show_operation_error(void*, const std::exception&) {}
