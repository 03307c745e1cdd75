// What the main dialog and its hotkey box share. Included only by the window's *_win32.cpp files.
#pragma once

#include <windows.h>

#include <string>

#include "installer/operations.h"

// Control ids of the main dialog (1 and 2 are IDOK for install and IDCANCEL for close).
inline constexpr int DIRECTORY_BOX_ID = 1001;
inline constexpr int BROWSE_BUTTON_ID = 1002;
inline constexpr int HOTKEY_BOX_ID = 1003;
inline constexpr int STATUS_LINE_ID = 1004;
inline constexpr int HINT_LINE_ID = 1007;

// One per open dialog, owned by run_main_dialog; reachable from the dialog (DWLP_USER) and from
// the hotkey box (GWLP_USERDATA).
struct DialogState {
  std::u16string game_dir_text;    // initial text of the directory box
  bool succeeded = false;          // an operation completed: the dialog ends with 0, else 3
  bool busy = false;               // an operation runs: close and every button are ignored
  int key_code = 88;               // the chosen hotkey, 'A'..'Y'
  bool capturing = false;          // the hotkey box waits for a key
  bool refused = false;            // the last key pressed while capturing was refused
  WNDPROC previous_proc = nullptr; // the hotkey box's own window procedure
};

// The hotkey box's replacement window procedure.
LRESULT CALLBACK hotkey_box_proc(HWND box, UINT message, WPARAM wparam, LPARAM lparam);
// Sets the hotkey box caption and the hint line beside it from the capture state.
void update_hotkey_labels(HWND dialog, const DialogState& state);
