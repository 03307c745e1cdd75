// TEMPORARY: stands in for the window until main_dialog_win32.cpp, folder_picker_win32.cpp and
// window_posix.cpp land. Whoever adds those files deletes this one.
#include "common/patch_error.h"
#include "installer/report.h"
#include "installer/window/window.h"

int run_main_dialog(const std::u16string&) { throw PatchError("无法创建补丁安装界面。"); }
std::u16string browse_for_game_dir(void*) { return {}; }
void show_operation_error(void*, const std::exception&) {}
