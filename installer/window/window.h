// The installer window: the main dialog and the folder picker.
#pragma once

#include <exception>
#include <string>

// Opens the main dialog with the directory box set to `game_dir_text`. Returns 0 when an operation
// completed in it, 3 otherwise; raises "无法创建补丁安装界面。" when it cannot be created.
int run_main_dialog(const std::u16string& game_dir_text);
// The system's folder browser; the empty text when the user cancels.
std::u16string browse_for_game_dir(void* owner);
// The main dialog's report: status line 1004 and an error box owned by the dialog.
void show_operation_error(void* dialog, const std::exception& error);

// Called in test builds only (not in a release), on the dialog's thread once an operation's progress
// is on the screen and before its work starts (with the button's id: 1 install, 1005 verify, 1006
// uninstall), so that a test can look at the screen and press keys while the dialog is busy.
extern void (*operation_progress_shown)(int button);
