// The hotkey box: a push button of the main dialog that, once clicked, takes the next key press as
// the source-text hotkey. Only the letters A to Y are taken; Z and the function keys belong to the
// game, and a key held with a modifier would not reach the game's runtime as that letter alone.
#include <windows.h>

#include "installer/entry.h"
#include "installer/settings.h"
#include "installer/window/dialog_win32.h"

namespace {

constexpr LPARAM AUTO_REPEAT = LPARAM{1} << 30;  // the key was already down before this message

bool modifier_held() {
  for (int key : {VK_CONTROL, VK_MENU, VK_SHIFT, VK_LWIN, VK_RWIN}) {
    if (GetKeyState(key) < 0) return true;
  }
  return false;
}

void end_capture(DialogState& state) {
  state.capturing = false;
  state.refused = false;
}

// While capturing the dialog manager must hand every key to the box, Esc and Enter included, or
// they would close the dialog or run the install; Tab alone still moves the focus (and so ends the
// capture).
LRESULT dialog_code(HWND box, const DialogState& state, WPARAM wparam, LPARAM lparam) {
  LRESULT code = CallWindowProcW(state.previous_proc, box, WM_GETDLGCODE, wparam, lparam);
  const auto* message = reinterpret_cast<const MSG*>(lparam);
  if (state.capturing && message && message->wParam != VK_TAB) code |= DLGC_WANTALLKEYS;
  return code;
}

void take_key(HWND box, DialogState& state, WPARAM key, LPARAM flags) {
  bool modifier = modifier_held();
  if (flags & AUTO_REPEAT) {
    // Holding a key down sends repeats; only the first press counts.
  } else if (key == VK_ESCAPE) {
    end_capture(state);
  } else if (modifier || key < 'A' || key > 'Y') {
    state.refused = true;
  } else {
    state.key_code = static_cast<int>(key);
    end_capture(state);
    selected_hotkey = hotkey_text(state.key_code);
  }
  update_hotkey_labels(GetParent(box), state);
}

}  // namespace

LRESULT CALLBACK hotkey_box_proc(HWND box, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* state = reinterpret_cast<DialogState*>(GetWindowLongPtrW(box, GWLP_USERDATA));
  if (!state || !state->previous_proc) return DefWindowProcW(box, message, wparam, lparam);
  switch (message) {
    case WM_GETDLGCODE:
      return dialog_code(box, *state, wparam, lparam);
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
      if (!state->capturing) break;
      take_key(box, *state, wparam, lparam);
      return 0;
    case WM_CHAR:
    case WM_SYSCHAR:
      if (!state->capturing) break;
      return 0;
    case WM_KILLFOCUS:
      if (state->capturing) {
        end_capture(*state);
        update_hotkey_labels(GetParent(box), *state);
      }
      break;
    case WM_NCDESTROY:
      SetWindowLongPtrW(box, GWLP_USERDATA, 0);
      break;
    default:
      break;
  }
  return CallWindowProcW(state->previous_proc, box, message, wparam, lparam);
}

void update_hotkey_labels(HWND dialog, const DialogState& state) {
  std::u16string key = hotkey_text(state.key_code);
  SetDlgItemTextW(dialog, HOTKEY_BOX_ID,
                  state.capturing ? L"请按键…" : reinterpret_cast<const wchar_t*>(key.c_str()));
  const wchar_t* hint = L"点击按键框后按下新热键。\n默认 X。";
  if (state.capturing) hint = state.refused ? L"请选择 A–Y 的单个字母。\nEsc 取消。" : L"按 A–Y 设置，Esc 取消。";
  SetDlgItemTextW(dialog, HINT_LINE_ID, hint);
}
