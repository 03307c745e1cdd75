// The three operations, each a row of one table that the entry and the main dialog both read:
// how it is asked for, what is asked and shown around it, and the function that runs it. Each
// runs on the normalised game directory, returns nothing on success and raises PatchError on
// failure; none shows anything.
#pragma once

#include <string>
#include <string_view>

#include "common/platform.h"

enum class Operation { install, verify, uninstall };
inline constexpr Operation ALL_OPERATIONS[] = {Operation::install, Operation::verify, Operation::uninstall};

// The control ids of the operations' buttons in the main dialog; the install's is IDOK, the
// dialog's default button.
inline constexpr int INSTALL_BUTTON_ID = 1, VERIFY_BUTTON_ID = 1005, UNINSTALL_BUTTON_ID = 1006;

struct OperationRow {
  std::u16string_view flag;  // its command-line option
  int button;                // the control id of its button in the main dialog
  // The question the dialog asks before it runs (the game directory in it); none: none is asked.
  std::u16string (*dialog_question)(const std::u16string& game_dir);
  // The question the entry asks in window mode; none: none is asked.
  std::u16string (*entry_question)(const std::u16string& game_dir);
  std::u16string_view progress;       // the dialog's status line while it runs
  std::u16string (*dialog_done)();    // the dialog's status line and box once it completed
  std::u16string_view entry_done;     // the entry's box once it completed in window mode
  void (*run)(const std::u16string& game_dir);
};

const OperationRow& operation_row(Operation operation);

void install_patch(const std::u16string& game_dir);
void store_selected_hotkey(const std::u16string& game_dir);
void verify_installation(const std::u16string& game_dir);
void uninstall_patch(const std::u16string& game_dir, bool rollback);
void save_user_copy(const std::u16string& file, const std::u16string& record_dir, const std::string& name);
// The same for a file held open, copied through its handle.
void save_user_copy(platform::FileHandle file, const std::u16string& record_dir, const std::string& name);
