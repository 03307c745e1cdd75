// The main dialog: a modal window built from a template in memory, whose controls are created one
// by one at start. Each operation runs synchronously on this thread, from its button's handler.
#include <windows.h>

#include <array>
#include <cstddef>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "common/patch_error.h"
#include "installer/entry.h"
#include "installer/game_dir.h"
#include "installer/operations.h"
#include "installer/report.h"
#include "installer/settings.h"
#include "installer/window/dialog_win32.h"
#include "installer/window/window.h"

namespace {

const wchar_t* wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

constexpr std::size_t TEMPLATE_BYTES = 2048;
constexpr DWORD DIALOG_STYLE = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;
static_assert(DIALOG_STYLE == 0x80C800C0);

struct ChildControl {
  const wchar_t* class_name;
  const wchar_t* text;  // nullptr: taken from the dialog state when the control is made
  int id;
  DWORD style;  // WS_CHILD and WS_VISIBLE are added to every control
  DWORD ex_style;
  int x, y, width, height;  // dialog units
};

// In creation order, which is also the tab order.
constexpr ChildControl CONTROLS[] = {
    {L"STATIC", L"Lirra 简体中文补丁\n选择游戏目录，设置原文热键后安装。", 0, SS_LEFT, 0, 12, 10, 336, 25},
    {L"STATIC", L"游戏目录：", 0, SS_LEFT, 0, 12, 41, 90, 12},
    {L"EDIT", nullptr, DIRECTORY_BOX_ID, WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, 12, 55, 270, 15},
    {L"BUTTON", L"浏览…", BROWSE_BUTTON_ID, WS_TABSTOP | BS_PUSHBUTTON, 0, 290, 55, 58, 15},
    {L"BUTTON", L"原文热键", 0, BS_GROUPBOX, 0, 12, 80, 336, 48},
    {L"STATIC", L"原文开关：", 0, SS_LEFT, 0, 24, 99, 76, 12},
    {L"BUTTON", nullptr, HOTKEY_BOX_ID, WS_TABSTOP | BS_PUSHBUTTON, 0, 108, 95, 54, 16},
    {L"STATIC", L"", HINT_LINE_ID, SS_LEFT, 0, 174, 96, 160, 26},
    {L"STATIC", L"汉化资源独立安装。请先关闭游戏。", STATUS_LINE_ID, SS_LEFT, 0, 12, 138, 336, 25},
    {L"BUTTON", L"安装补丁", INSTALL_BUTTON_ID, WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 12, 174, 64, 16},
    {L"BUTTON", L"校验补丁", VERIFY_BUTTON_ID, WS_TABSTOP, 0, 84, 174, 58, 16},
    {L"BUTTON", L"卸载补丁", UNINSTALL_BUTTON_ID, WS_TABSTOP, 0, 150, 174, 58, 16},
    {L"BUTTON", L"关闭", IDCANCEL, WS_TABSTOP, 0, 290, 174, 58, 16},
};
constexpr std::size_t DIRECTORY_BOX = 2;
constexpr std::size_t HOTKEY_BOX = 6;
constexpr std::size_t HINT_LINE = 7;
constexpr std::size_t STATUS_LINE = 8;

// What an operation leaves disabled while it runs, in the order it is disabled and enabled again.
constexpr int LOCKED_CONTROLS[] = {DIRECTORY_BOX_ID, BROWSE_BUTTON_ID,   HOTKEY_BOX_ID,      INSTALL_BUTTON_ID,
                                   VERIFY_BUTTON_ID, UNINSTALL_BUTTON_ID, IDCANCEL};

// ---- Template ---------------------------------------------------------------------------------

WORD* put_text(WORD* at, const wchar_t* text) {
  while (*text) *at++ = static_cast<WORD>(*text++);
  return at + 1;  // the buffer is zero-filled: the terminator is already there
}

// The classic layout: header, menu, class, title, then the font because of DS_SETFONT. No items:
// the controls are created in WM_INITDIALOG.
void build_dialog_template(std::array<WORD, TEMPLATE_BYTES / sizeof(WORD)>& buffer) {
  auto* header = reinterpret_cast<DLGTEMPLATE*>(buffer.data());
  header->style = DIALOG_STYLE;
  header->dwExtendedStyle = WS_EX_CONTROLPARENT;
  header->cdit = 0;
  header->x = 0;
  header->y = 0;
  header->cx = 360;
  header->cy = 202;
  WORD* at = buffer.data() + sizeof(DLGTEMPLATE) / sizeof(WORD);
  *at++ = 0;  // no menu
  *at++ = 0;  // the default dialog class
  at = put_text(at, L"Lirra 简体中文补丁 — 安装与选项");
  *at++ = 9;  // points
  put_text(at, L"Microsoft YaHei UI");
}

// ---- Controls ---------------------------------------------------------------------------------

HWND create_child_control(HWND dialog, DWORD ex_style, const wchar_t* class_name, const wchar_t* text,
                          DWORD style, int x, int y, int width, int height, int id) {
  RECT rect{x, y, x + width, y + height};
  MapDialogRect(dialog, &rect);
  HWND control = CreateWindowExW(ex_style, class_name, text, style | WS_CHILD | WS_VISIBLE, rect.left, rect.top,
                                 rect.right - rect.left, rect.bottom - rect.top, dialog,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr),
                                 nullptr);
  if (control) SendMessageW(control, WM_SETFONT, static_cast<WPARAM>(SendMessageW(dialog, WM_GETFONT, 0, 0)), TRUE);
  return control;
}

HWND create_control(HWND dialog, std::size_t index, const wchar_t* text = nullptr) {
  const ChildControl& c = CONTROLS[index];
  return create_child_control(dialog, c.ex_style, c.class_name, text ? text : c.text, c.style, c.x, c.y, c.width,
                              c.height, c.id);
}

void create_controls(HWND dialog, std::size_t first, std::size_t last) {
  for (std::size_t i = first; i <= last; ++i) create_control(dialog, i);
}

void set_controls_enabled(HWND dialog, bool enabled) {
  for (int id : LOCKED_CONTROLS) EnableWindow(GetDlgItem(dialog, id), enabled);
}

std::u16string window_text(HWND window) {
  std::u16string text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, u'\0');
  int length = GetWindowTextW(window, reinterpret_cast<wchar_t*>(text.data()), static_cast<int>(text.size()));
  text.resize(static_cast<std::size_t>(length > 0 ? length : 0));
  return text;
}

void set_status(HWND dialog, const std::u16string& text) { SetDlgItemTextW(dialog, STATUS_LINE_ID, wide(text)); }

// ---- Start ------------------------------------------------------------------------------------

// The hotkey box is the one control the dialog cannot do without: without it, or without its
// replacement procedure, the hotkey could not be set and the dialog is not shown at all.
bool attach_hotkey_box(HWND box, DialogState& state) {
  if (!box) return false;
  if (auto code = parse_hotkey_letter(selected_hotkey)) state.key_code = *code;
  SetWindowLongPtrW(box, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state));
  state.previous_proc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(box, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&hotkey_box_proc)));
  return state.previous_proc != nullptr;
}

void centre_on_screen(HWND dialog) {
  RECT rect;
  GetWindowRect(dialog, &rect);
  int x = (GetSystemMetrics(SM_CXSCREEN) - (rect.right - rect.left)) / 2;
  int y = (GetSystemMetrics(SM_CYSCREEN) - (rect.bottom - rect.top)) / 2;
  SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

INT_PTR initialize_dialog(HWND dialog, DialogState& state) {
  SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(&state));
  create_controls(dialog, 0, DIRECTORY_BOX - 1);
  create_control(dialog, DIRECTORY_BOX, wide(state.game_dir_text));
  create_controls(dialog, DIRECTORY_BOX + 1, HOTKEY_BOX - 1);
  HWND box = create_control(dialog, HOTKEY_BOX, wide(selected_hotkey));
  if (!attach_hotkey_box(box, state)) {
    EndDialog(dialog, -1);
    return TRUE;
  }
  create_control(dialog, HINT_LINE);
  update_hotkey_labels(dialog, state);
  create_controls(dialog, STATUS_LINE, std::size(CONTROLS) - 1);
  centre_on_screen(dialog);
  SetFocus(GetDlgItem(dialog, DIRECTORY_BOX_ID));
  return FALSE;  // the focus is set
}

// ---- Commands ---------------------------------------------------------------------------------

void close_dialog(HWND dialog, const DialogState& state) {
  // A close request that arrives while an operation's question, result or error box is up (Close
  // from the taskbar) must not end the dialog under the running operation.
  if (state.busy) return;
  EndDialog(dialog, state.succeeded ? 0 : 3);
}

void start_capture(HWND dialog, DialogState& state) {
  state.capturing = true;
  state.refused = false;
  SetFocus(GetDlgItem(dialog, HOTKEY_BOX_ID));
  update_hotkey_labels(dialog, state);
}

void browse(HWND dialog) {
  try {
    std::u16string directory = browse_for_game_dir(dialog);
    if (!directory.empty()) SetDlgItemTextW(dialog, DIRECTORY_BOX_ID, wide(directory));
  } catch (const std::exception& error) {
    show_operation_error(dialog, error);
  }
}

bool confirmed(HWND dialog, const OperationRow& row, const std::u16string& game_dir) {
  if (!row.dialog_question) return true;
  return MessageBoxW(dialog, wide(row.dialog_question(game_dir)), L"Lirra 简体中文补丁", MB_YESNO | MB_ICONQUESTION) ==
         IDYES;
}

// The row of the operation that a button runs, if the button runs one.
const OperationRow* operation_of(int button) {
  for (Operation operation : ALL_OPERATIONS)
    if (operation_row(operation).button == button) return &operation_row(operation);
  return nullptr;
}

// Wine copies a window's drawing to the screen only when its thread looks for a message and finds
// none (a look that finds a timer or a posted message waiting copies nothing), and the operation
// keeps this thread from looking until it ends: the progress text and the disabled controls would
// stay unseen for the whole work. A look for a message that is never queued always finds none and
// removes nothing; on Windows it does no harm.
constexpr UINT NEVER_QUEUED = WM_APP + 0x3FFF;

void show_drawing_now() {
  MSG message;
  PeekMessageW(&message, nullptr, NEVER_QUEUED, NEVER_QUEUED, PM_NOREMOVE);
}

// Keys pressed and clicks made while the operation ran wait in the input queue, and the result or
// error box would take them the moment it opens: an Esc meant for the busy dialog would close the
// box unseen. The busy dialog ignores such input, so it is dropped before the box opens. Mouse
// moves stay: they press nothing, and taking one out of the queue would set the cursor of the
// window below it in place of the wait cursor.
void discard_input_of_busy_time() {
  constexpr std::pair<UINT, UINT> INPUT_RANGES[] = {
      {WM_KEYFIRST, WM_KEYLAST}, {WM_LBUTTONDOWN, WM_MOUSELAST}, {WM_NCLBUTTONDOWN, WM_NCXBUTTONDBLCLK}};
  MSG message;
  for (auto [first, last] : INPUT_RANGES) {
    while (PeekMessageW(&message, nullptr, first, last, PM_REMOVE)) continue;
  }
}

// Disabling the control that has the focus sends the focus elsewhere, and Windows does not bring it
// back when the control is enabled again: it stays on the first static text, where the next Enter
// would start an install. It goes back to the button that ran, or into the directory box when the
// directory was what failed.
void restore_focus(HWND dialog, int id) {
  SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog, id)), TRUE);
}

void run_operation(HWND dialog, DialogState& state, const OperationRow& row) {
  const int button = row.button;
  bool directory_read = false;
  int focus = button;
  try {
    reported_file.clear();
    std::u16string text = window_text(GetDlgItem(dialog, DIRECTORY_BOX_ID));
    if (text.empty()) throw PatchError("请选择游戏目录。");
    std::u16string game_dir = normalize_game_dir(text);
    directory_read = true;
    std::u16string hotkey = hotkey_text(state.key_code);
    if (!parse_hotkey_letter(hotkey)) throw PatchError("请选择有效的原文热键。");
    selected_hotkey = hotkey;
    // Busy already while the question is up: a close request honoured then would end the dialog
    // under the operation that a Yes starts, and the program would exit as cancelled after it
    // completed. Declining leaves the dialog exactly as it was, status line included.
    state.busy = true;
    if (!confirmed(dialog, row, game_dir)) {
      state.busy = false;
      return;
    }

    set_controls_enabled(dialog, false);
    set_status(dialog, std::u16string(row.progress));
    // The operation blocks this thread and nothing is painted until it ends: show the progress now.
    UpdateWindow(dialog);
    show_drawing_now();
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
#ifdef VANRO_TEST_BUILD
    if (operation_progress_shown) operation_progress_shown(button);
#endif
    row.run(game_dir);
    state.succeeded = true;
    std::u16string result = row.dialog_done();
    set_status(dialog, result);
    discard_input_of_busy_time();
    MessageBoxW(dialog, wide(result), L"Lirra 简体中文补丁", MB_ICONINFORMATION);
  } catch (const std::exception& error) {
    if (!directory_read || std::string_view(error.what()) == NOT_A_GAME_DIRECTORY) focus = DIRECTORY_BOX_ID;
    discard_input_of_busy_time();
    show_operation_error(dialog, error);
  }
  state.busy = false;
  SetCursor(LoadCursorW(nullptr, IDC_ARROW));
  set_controls_enabled(dialog, true);
  restore_focus(dialog, focus);
}

INT_PTR handle_command(HWND dialog, DialogState& state, int id, int code) {
  if (const OperationRow* row = operation_of(id)) {
    if (!state.busy) run_operation(dialog, state, *row);
    return TRUE;
  }
  switch (id) {
    case IDCANCEL:
      close_dialog(dialog, state);
      return TRUE;
    case HOTKEY_BOX_ID:
      if (code != BN_CLICKED) return FALSE;
      if (!state.busy) start_capture(dialog, state);
      return TRUE;
    case BROWSE_BUTTON_ID:
      if (!state.busy) browse(dialog);
      return TRUE;
    default:
      return FALSE;
  }
}

INT_PTR CALLBACK dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG) return initialize_dialog(dialog, *reinterpret_cast<DialogState*>(lparam));
  auto* state = reinterpret_cast<DialogState*>(GetWindowLongPtrW(dialog, DWLP_USER));
  if (!state) return FALSE;
  switch (message) {
    case WM_COMMAND:
      return handle_command(dialog, *state, LOWORD(wparam), HIWORD(wparam));
    case WM_CLOSE:
      close_dialog(dialog, *state);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void (*operation_progress_shown)(int button) = nullptr;

int run_main_dialog(const std::u16string& game_dir_text) {
  DialogState state;
  state.game_dir_text = game_dir_text;
  alignas(DWORD) std::array<WORD, TEMPLATE_BYTES / sizeof(WORD)> buffer{};
  build_dialog_template(buffer);
  INT_PTR result = DialogBoxIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(buffer.data()),
                                           nullptr, dialog_proc, reinterpret_cast<LPARAM>(&state));
  if (result == -1) throw PatchError("无法创建补丁安装界面。");
  return static_cast<int>(result);
}

void show_operation_error(void* dialog, const std::exception& error) {
  HWND window = static_cast<HWND>(dialog);
  std::u16string text = report_text(error);
  SetDlgItemTextW(window, STATUS_LINE_ID, L"操作未完成，请核对提示后重试。");
  MessageBoxW(window, wide(text), L"Lirra 补丁操作未完成", MB_ICONERROR);
}
