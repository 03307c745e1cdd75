// The main dialog, driven in this process as a person would use it: clicks and key presses are
// posted to the real controls and handled by the dialog's own message loop; message boxes are
// read and answered from a thread timer that their loops dispatch, never after a sleep.
//
// Needs a display: under Wine run through scripts/with-xvfb.sh, which also maps the dialog font.
// Screenshots of the idle dialog, a capture, each operation while it runs and a finished install go
// to <build>/screenshots; scripts/test-i686.sh compares the i686 build's with the win64 build's.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/patch_error.h"
#include "installer/entry.h"
#include "installer/settings.h"
#include "installer/window/window.h"
#include "tests/support/install_scene.h"
#include "tests/support/temp_dir.h"

namespace {

const wchar_t* wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

std::u16string text_of(HWND window) {
  std::u16string text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, u'\0');
  int length = GetWindowTextW(window, reinterpret_cast<wchar_t*>(text.data()), static_cast<int>(text.size()));
  text.resize(static_cast<std::size_t>(length > 0 ? length : 0));
  return text;
}

std::u16string class_of(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return reinterpret_cast<const char16_t*>(name);
}

const std::u16string DIALOG_TITLE = u"Lirra 简体中文补丁 — 安装与选项";
const std::u16string IDLE_HINT = u"点击按键框后按下新热键。\n默认 X。";
const std::u16string CAPTURE_HINT = u"按 A–Y 设置，Esc 取消。";
const std::u16string REFUSED_HINT = u"请选择 A–Y 的单个字母。\nEsc 取消。";
const std::u16string INITIAL_STATUS = u"汉化资源独立安装。请先关闭游戏。";
const std::u16string FAILED_STATUS = u"操作未完成，请核对提示后重试。";
const std::vector<int> LOCKED_CONTROLS = {1001, 1002, 1003, IDOK, 1005, 1006, IDCANCEL};

// ---- The driver -------------------------------------------------------------------------------

struct SeenBox {
  HWND window = nullptr;
  HWND owner = nullptr;
  std::u16string caption;
  std::u16string text;
  bool yes_no = false;
  HICON icon = nullptr;
  HCURSOR cursor_at_creation = nullptr;
  bool dialog_locked = false;  // the seven controls were disabled while the box was up
};

// A step runs at a tick when no message box is up; it returns false to be called again at the next
// tick, when it waits for something the message loop must do first.
using Step = std::function<bool()>;
// Reads a message box and returns the button to press, or 0 to be called again at the next tick.
using Answer = std::function<int(SeenBox&)>;

struct Driver {
  std::vector<Step> steps;
  std::deque<Answer> answers;
  std::function<bool(const CREATESTRUCTW&)> refuse_creation;  // makes CreateWindowEx fail

  HWND dialog = nullptr;
  std::size_t next_step = 0;
  std::vector<SeenBox> boxes;       // every box seen, in order
  std::vector<HWND> open_boxes;     // shown and not destroyed yet
  std::deque<std::size_t> waiting;  // indexes into boxes, not answered yet
  std::vector<std::u16string> status_texts;
  std::vector<bool> locked_at_status;  // for each status text: the seven controls were disabled
  std::vector<std::pair<int, bool>> enable_changes;
  HCURSOR pending_cursor = nullptr;
  unsigned ticks = 0;
  bool in_tick = false;
};

Driver* driver = nullptr;

HWND item(int id) { return GetDlgItem(driver->dialog, id); }
std::u16string item_text(int id) { return text_of(item(id)); }

bool dialog_locked() {
  for (int id : LOCKED_CONTROLS) {
    if (IsWindowEnabled(item(id))) return false;
  }
  return true;
}

HICON icon_of(HWND box) {
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON && class_of(child) == u"Static") {
      return reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
    }
  }
  return nullptr;
}

void note_box(HWND box) {
  SeenBox seen;
  seen.window = box;
  seen.owner = GetWindow(box, GW_OWNER);
  seen.caption = text_of(box);
  seen.text = text_of(GetDlgItem(box, 0xFFFF));  // the message text of a message box
  seen.yes_no = GetDlgItem(box, IDYES) != nullptr;
  seen.icon = icon_of(box);
  seen.cursor_at_creation = driver->pending_cursor;
  seen.dialog_locked = driver->dialog && dialog_locked();
  driver->boxes.push_back(seen);
  driver->open_boxes.push_back(box);
  driver->waiting.push_back(driver->boxes.size() - 1);
}

LRESULT CALLBACK cbt_hook(int code, WPARAM wparam, LPARAM lparam) {
  if (driver && code == HCBT_CREATEWND) {
    const CREATESTRUCTW& create = *reinterpret_cast<CBT_CREATEWNDW*>(lparam)->lpcs;
    if (driver->refuse_creation && driver->refuse_creation(create)) return 1;
    // The cursor as the operation left it, before the result box is created over it.
    if (create.lpszClass == MAKEINTRESOURCEW(32770) && driver->dialog) driver->pending_cursor = GetCursor();
  }
  if (driver && code == HCBT_ACTIVATE) {
    HWND window = reinterpret_cast<HWND>(wparam);
    bool known = window == driver->dialog;
    for (const SeenBox& box : driver->boxes) known = known || box.window == window;
    if (!known && class_of(window) == u"#32770") {
      if (!driver->dialog && text_of(window) == DIALOG_TITLE) {
        driver->dialog = window;
      } else {
        note_box(window);
      }
    }
  }
  if (driver && code == HCBT_DESTROYWND) std::erase(driver->open_boxes, reinterpret_cast<HWND>(wparam));
  return CallNextHookEx(nullptr, code, wparam, lparam);
}

// Watches what the dialog does to its controls while an operation runs, when no step can run.
LRESULT CALLBACK call_hook(int code, WPARAM wparam, LPARAM lparam) {
  const CWPSTRUCT& call = *reinterpret_cast<CWPSTRUCT*>(lparam);
  if (driver && driver->dialog && code == HC_ACTION && GetParent(call.hwnd) == driver->dialog &&
      (GetWindowLongW(call.hwnd, GWL_STYLE) & WS_CHILD)) {
    int id = GetDlgCtrlID(call.hwnd);
    if (call.message == WM_SETTEXT && id == 1004) {
      driver->status_texts.emplace_back(reinterpret_cast<const char16_t*>(call.lParam));
      driver->locked_at_status.push_back(dialog_locked());
    }
    if (call.message == WM_ENABLE) driver->enable_changes.emplace_back(id, call.wParam != 0);
  }
  return CallNextHookEx(nullptr, code, wparam, lparam);
}

void answer_waiting_box() {
  SeenBox& box = driver->boxes[driver->waiting.front()];
  int button = 0;
  if (driver->answers.empty()) {
    ADD_FAILURE() << "unexpected message box: " << testing::PrintToString(box.text);
    button = box.yes_no ? IDNO : IDOK;
  } else {
    button = driver->answers.front()(box);
    if (button) driver->answers.pop_front();
  }
  if (!button) return;
  driver->waiting.pop_front();
  PostMessageW(box.window, WM_COMMAND, static_cast<WPARAM>(button), 0);
}

// Gives up on a run that no longer moves, so that a fault shows as a failure and not as a hang.
void abandon_run() {
  ADD_FAILURE() << "the dialog did not finish its steps; stopped at step " << driver->next_step;
  for (HWND box : driver->open_boxes) {
    PostMessageW(box, WM_COMMAND, IDNO, 0);
    PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  }
  if (driver->open_boxes.empty() && driver->dialog) EndDialog(driver->dialog, 99);
}

void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD) {
  if (!driver || driver->in_tick) return;
  driver->in_tick = true;
  if (++driver->ticks > 12000) {
    abandon_run();
  } else if (!driver->waiting.empty()) {
    answer_waiting_box();
  } else if (driver->dialog && driver->open_boxes.empty() && driver->next_step < driver->steps.size()) {
    if (driver->steps[driver->next_step]()) ++driver->next_step;
  }
  driver->in_tick = false;
}

// Runs `show` (which opens the dialog or the folder picker) with the hooks and the timer in place.
template <typename Show>
auto run_with_hooks(Driver& run, Show show) {
  driver = &run;
  HHOOK cbt = SetWindowsHookExW(WH_CBT, cbt_hook, nullptr, GetCurrentThreadId());
  HHOOK calls = SetWindowsHookExW(WH_CALLWNDPROC, call_hook, nullptr, GetCurrentThreadId());
  UINT_PTR timer = SetTimer(nullptr, 0, 10, tick);
  struct Cleanup {
    HHOOK cbt, calls;
    UINT_PTR timer;
    ~Cleanup() {
      KillTimer(nullptr, timer);
      UnhookWindowsHookEx(calls);
      UnhookWindowsHookEx(cbt);
      driver = nullptr;
    }
  } cleanup{cbt, calls, timer};
  auto result = show();
  EXPECT_EQ(run.next_step, run.steps.size()) << "steps left undone";
  EXPECT_TRUE(run.answers.empty()) << run.answers.size() << " expected message boxes did not appear";
  return result;
}

int run_driven(Driver& run, const std::u16string& game_dir_text) {
  return run_with_hooks(run, [&] { return run_main_dialog(game_dir_text); });
}

// ---- What a person does -----------------------------------------------------------------------

Step act(std::function<void()> action) {
  return [action] {
    action();
    return true;
  };
}

void click(int id) { PostMessageW(item(id), BM_CLICK, 0, 0); }

// A key press as the keyboard driver delivers it: to the focused window, through the dialog loop.
void press(WPARAM key, bool repeat = false, UINT message = WM_KEYDOWN) {
  LPARAM flags = 1 | static_cast<LPARAM>(MapVirtualKeyW(static_cast<UINT>(key), MAPVK_VK_TO_VSC)) << 16;
  if (message == WM_SYSKEYDOWN) flags |= LPARAM{1} << 29;
  if (repeat) flags |= LPARAM{1} << 30;
  PostMessageW(GetFocus(), message, key, flags);
}

// Holds modifier keys down in this thread's key state, which is what GetKeyState reads.
void hold(std::vector<int> keys) {
  BYTE state[256];
  GetKeyboardState(state);
  for (int key : keys) state[key] = 0x80;
  SetKeyboardState(state);
}

void release_all_keys() {
  BYTE state[256] = {};
  SetKeyboardState(state);
}

Answer expect_box(std::function<void(SeenBox&)> check, int button) {
  return [check, button](SeenBox& box) {
    check(box);
    return button;
  };
}

// ---- Screenshots ------------------------------------------------------------------------------

using DosName = char* (*)(const char*);

// Unix path to DOS path; only Wine has this, so a run on Windows itself takes no screenshots.
std::u16string dos_path(const std::string& unix_path) {
  auto convert = reinterpret_cast<DosName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
  if (!convert) return {};
  auto* name = reinterpret_cast<wchar_t*>(convert(unix_path.c_str()));
  if (!name) return {};
  std::u16string result = reinterpret_cast<const char16_t*>(name);
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

bool exists(const std::u16string& path) { return GetFileAttributesW(wide(path)) != INVALID_FILE_ATTRIBUTES; }

// Takes a picture of the whole X screen with ImageMagick's import, started by its Unix path (Wine
// runs Unix programs but hands back no process to wait for). The picture is written under a
// temporary name and renamed, so its final name appearing means it is complete. Returns false
// until then: the caller is called again at the next tick, with the message loop running between.
struct Screenshot {
  std::string name;
  RECT crop{};  // when not empty: this part of the screen also goes to <name>.ppm, raw pixels only
  DWORD started = 0;
  bool launched = false;
};

bool take_screenshot(Screenshot& shot) {
  const std::string folder = VANRO_BINARY_DIR "/screenshots";
  const std::string file = folder + "/" + shot.name + ".png";
  std::u16string done = dos_path(file);
  if (done.empty() || !exists(dos_path("/usr/bin/import"))) return true;  // nothing to take it with
  if (!shot.started) {
    CreateDirectoryW(wide(dos_path(folder)), nullptr);
    DeleteFileW(wide(done));
    shot.started = GetTickCount();
    return false;
  }
  // Wine copies what was painted to the X server from its message loop: give it a few rounds.
  if (!shot.launched && GetTickCount() - shot.started < 300) return false;
  if (!shot.launched) {
    std::string crop;
    if (!IsRectEmpty(&shot.crop)) {
      crop = " && convert '" + file + ".part' -crop " + std::to_string(shot.crop.right - shot.crop.left) + "x" +
             std::to_string(shot.crop.bottom - shot.crop.top) + "+" + std::to_string(shot.crop.left) + "+" +
             std::to_string(shot.crop.top) + " 'ppm:" + folder + "/" + shot.name + ".ppm'";
    }
    std::string command = "/bin/sh -c \"import -window root 'png:" + file + ".part'" + crop + " && mv '" + file +
                          ".part' '" + file + "'\"";
    std::wstring line(command.begin(), command.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    EXPECT_TRUE(CreateProcessW(L"/bin/sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &process));
    shot.launched = true;
    return false;
  }
  if (exists(done)) return true;
  if (GetTickCount() - shot.started > 60000) {
    ADD_FAILURE() << "no screenshot " << file;
    return true;
  }
  return false;
}

Step screenshot(const std::string& name, int crop_id = 0) {
  auto shot = std::make_shared<Screenshot>();
  shot->name = name;
  return [shot, crop_id] {
    if (crop_id && !shot->started) GetWindowRect(item(crop_id), &shot->crop);
    return take_screenshot(*shot);
  };
}

std::string read_bytes(const std::string& unix_path) {
  std::string bytes;
  HANDLE file =
      CreateFileW(wide(dos_path(unix_path)), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got) bytes.append(buffer, got);
  CloseHandle(file);
  return bytes;
}

// ---- While an operation runs ------------------------------------------------------------------

const std::string OPERATIONS[] = {"install", "verify", "uninstall"};
const std::u16string PROGRESS[] = {u"正在校验并独立安装…", u"正在校验补丁和隔离资源…", u"正在校验并移除补丁…"};
int operation_of(int button) { return button == IDOK ? 0 : button - 1004; }

// Called by the busy dialog once its progress should be on the screen, before the work starts: a
// screenshot without running the message loop (which would put the progress there anyway), then
// Esc and Enter into the input queue, as a player presses them while waiting.
void while_busy(int button) {
  Screenshot shot{OPERATIONS[operation_of(button)] + "-running"};
  GetWindowRect(item(1004), &shot.crop);
  while (!take_screenshot(shot)) Sleep(10);
  for (int key : {VK_ESCAPE, VK_RETURN}) {
    keybd_event(static_cast<BYTE>(key), 0, 0, 0);
    keybd_event(static_cast<BYTE>(key), 0, KEYEVENTF_KEYUP, 0);
  }
}

// ---- The fixture ------------------------------------------------------------------------------

class MainDialog : public testing::Test {
 protected:
  void SetUp() override {
    // Without a window station (Wine without DISPLAY) no window can be made at all.
    HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    if (!probe) GTEST_SKIP() << "no display: run the Windows tests through scripts/with-xvfb.sh";
    DestroyWindow(probe);
    selected_hotkey = u"X";
    reported_file.clear();
    release_all_keys();
  }
  void TearDown() override {
    operation_progress_shown = nullptr;
    selected_hotkey = u"X";
    reported_file.clear();
    release_all_keys();
  }
};

// ---- Layout -----------------------------------------------------------------------------------

struct ExpectedControl {
  std::u16string class_name;
  std::u16string text;
  int id;
  DWORD style;
  DWORD ex_style;
  RECT units;  // x, y, x + width, y + height in dialog units
};

TEST_F(MainDialog, ShowsItsControlsInOrderWithTextsIdsStylesAndPositions) {
  const std::u16string typed = u"D:\\Game\\.\\sub\\..";
  const std::vector<ExpectedControl> expected = {
      {u"Static", u"Lirra 简体中文补丁\n选择游戏目录，设置原文热键后安装。", 0, SS_LEFT, 0, {12, 10, 348, 35}},
      {u"Static", u"游戏目录：", 0, SS_LEFT, 0, {12, 41, 102, 53}},
      {u"Edit", typed, 1001, WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, {12, 55, 282, 70}},
      {u"Button", u"浏览…", 1002, WS_TABSTOP | BS_PUSHBUTTON, 0, {290, 55, 348, 70}},
      {u"Button", u"原文热键", 0, BS_GROUPBOX, 0, {12, 80, 348, 128}},
      {u"Static", u"原文开关：", 0, SS_LEFT, 0, {24, 99, 100, 111}},
      {u"Button", u"X", 1003, WS_TABSTOP | BS_PUSHBUTTON, 0, {108, 95, 162, 111}},
      {u"Static", IDLE_HINT, 1007, SS_LEFT, 0, {174, 96, 334, 122}},
      {u"Static", INITIAL_STATUS, 1004, SS_LEFT, 0, {12, 138, 348, 163}},
      {u"Button", u"安装补丁", IDOK, WS_TABSTOP | BS_DEFPUSHBUTTON, 0, {12, 174, 76, 190}},
      {u"Button", u"校验补丁", 1005, WS_TABSTOP, 0, {84, 174, 142, 190}},
      {u"Button", u"卸载补丁", 1006, WS_TABSTOP, 0, {150, 174, 208, 190}},
      {u"Button", u"关闭", IDCANCEL, WS_TABSTOP, 0, {290, 174, 348, 190}},
  };
  Driver run;
  run.steps = {
      act([&] {
        HWND dialog = driver->dialog;
        EXPECT_EQ(text_of(dialog), DIALOG_TITLE);
        DWORD style = static_cast<DWORD>(GetWindowLongW(dialog, GWL_STYLE));
        EXPECT_EQ(style & 0x80C800C0u, 0x80C800C0u) << std::hex << style;
        EXPECT_TRUE(GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_CONTROLPARENT);

        RECT client{0, 0, 360, 202};
        MapDialogRect(dialog, &client);
        RECT actual;
        GetClientRect(dialog, &actual);
        EXPECT_EQ(actual.right, client.right);
        EXPECT_EQ(actual.bottom, client.bottom);
        RECT window;
        GetWindowRect(dialog, &window);
        EXPECT_EQ(window.left, (GetSystemMetrics(SM_CXSCREEN) - (window.right - window.left)) / 2);
        EXPECT_EQ(window.top, (GetSystemMetrics(SM_CYSCREEN) - (window.bottom - window.top)) / 2);

        auto font = reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0));
        LOGFONTW face{};
        GetObjectW(font, sizeof face, &face);
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(face.lfFaceName)), u"Microsoft YaHei UI");
        HDC screen = GetDC(nullptr);
        EXPECT_EQ(face.lfHeight, -MulDiv(9, GetDeviceCaps(screen, LOGPIXELSY), 72));
        ReleaseDC(nullptr, screen);

        std::size_t index = 0;
        for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT), ++index) {
          if (index >= expected.size()) break;
          const ExpectedControl& want = expected[index];
          SCOPED_TRACE(testing::Message() << "control #" << index + 1);
          EXPECT_EQ(class_of(child), want.class_name);
          EXPECT_EQ(text_of(child), want.text);
          EXPECT_EQ(GetDlgCtrlID(child), want.id);
          DWORD child_style = static_cast<DWORD>(GetWindowLongW(child, GWL_STYLE));
          DWORD wanted = want.style | WS_CHILD | WS_VISIBLE;
          EXPECT_EQ(child_style & wanted, wanted) << std::hex << child_style;
          if (want.class_name == u"Button" && want.id != 1003 && want.id != IDOK) {
            // The focus moves the default-button look between push buttons; the others keep theirs.
            EXPECT_EQ(child_style & BS_TYPEMASK, want.style & BS_TYPEMASK);
          }
          EXPECT_EQ(GetWindowLongW(child, GWL_EXSTYLE) & WS_EX_CLIENTEDGE, want.ex_style & WS_EX_CLIENTEDGE);
          EXPECT_EQ(SendMessageW(child, WM_GETFONT, 0, 0), reinterpret_cast<LRESULT>(font));
          EXPECT_TRUE(IsWindowEnabled(child));
          RECT place = want.units;
          MapDialogRect(dialog, &place);
          RECT shown;
          GetWindowRect(child, &shown);
          MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&shown), 2);
          EXPECT_EQ(shown.left, place.left);
          EXPECT_EQ(shown.top, place.top);
          EXPECT_EQ(shown.right, place.right);
          EXPECT_EQ(shown.bottom, place.bottom);
        }
        EXPECT_EQ(index, expected.size()) << "number of controls";
        EXPECT_EQ(GetFocus(), item(1001));
      }),
      screenshot("idle-dialog"),
      act([] { click(IDCANCEL); }),
  };
  EXPECT_EQ(run_driven(run, typed), 3);
}

TEST_F(MainDialog, ShowsTheHotkeyGivenOnTheCommandLine) {
  selected_hotkey = u"K";
  Driver run;
  run.steps = {
      act([] { EXPECT_EQ(item_text(1003), u"K"); }),
      act([] { PostMessageW(driver->dialog, WM_CLOSE, 0, 0); }),
  };
  EXPECT_EQ(run_driven(run, u""), 3);
}

// ---- Hotkey capture ---------------------------------------------------------------------------

Step expect_capture(const std::u16string& hint, const std::u16string& hotkey) {
  return act([hint, hotkey] {
    EXPECT_EQ(item_text(1003), u"请按键…");
    EXPECT_EQ(item_text(1007), hint);
    EXPECT_EQ(selected_hotkey, hotkey);
  });
}

Step expect_idle_key(const std::u16string& hotkey) {
  return act([hotkey] {
    EXPECT_EQ(item_text(1003), hotkey);
    EXPECT_EQ(item_text(1007), IDLE_HINT);
    EXPECT_EQ(selected_hotkey, hotkey);
  });
}

TEST_F(MainDialog, HotkeyBoxTakesALetterAtOnce) {
  Driver run;
  run.steps = {
      act([] { click(1003); }),
      act([] { EXPECT_EQ(GetFocus(), item(1003)); }),
      expect_capture(CAPTURE_HINT, u"X"),
      screenshot("hotkey-capture"),
      act([] { press('Y'); }),
      expect_idle_key(u"Y"),
      act([] { click(IDCANCEL); }),
  };
  EXPECT_EQ(run_driven(run, u""), 3);
  EXPECT_EQ(selected_hotkey, u"Y");
}

struct RefusedKey {
  const char* name;
  WPARAM key;
  std::vector<int> held;
  UINT message;
};

TEST_F(MainDialog, HotkeyBoxRefusesKeysOutsideAToYAndKeysWithModifiers) {
  const std::vector<RefusedKey> refused = {
      {"Z", 'Z', {}, WM_KEYDOWN},
      {"F1", VK_F1, {}, WM_KEYDOWN},
      {"Enter", VK_RETURN, {}, WM_KEYDOWN},
      {"5", '5', {}, WM_KEYDOWN},
      {"Alt", VK_MENU, {VK_MENU, VK_LMENU}, WM_SYSKEYDOWN},
      {"Shift+A", 'A', {VK_SHIFT, VK_LSHIFT}, WM_KEYDOWN},
      {"Ctrl+A", 'A', {VK_CONTROL, VK_LCONTROL}, WM_KEYDOWN},
      {"Alt+A", 'A', {VK_MENU, VK_LMENU}, WM_SYSKEYDOWN},
      {"Win+A", 'A', {VK_LWIN}, WM_KEYDOWN},
  };
  Driver run;
  for (const RefusedKey& key : refused) {
    std::string name = key.name;
    run.steps.push_back(act([] { click(1003); }));
    run.steps.push_back(expect_capture(CAPTURE_HINT, u"X"));
    run.steps.push_back(act([key] {
      hold(key.held);
      // The key state is really what the box will read: a check that holding keys works here.
      for (int held : key.held) EXPECT_LT(GetKeyState(held), 0);
      press(key.key, false, key.message);
    }));
    run.steps.push_back(act([name] {
      release_all_keys();
      SCOPED_TRACE(name);
      EXPECT_EQ(item_text(1003), u"请按键…");
      EXPECT_EQ(item_text(1007), REFUSED_HINT);
      EXPECT_EQ(selected_hotkey, u"X");
    }));
    // Esc ends the capture with the key unchanged, and does not close the dialog.
    run.steps.push_back(act([] { press(VK_ESCAPE); }));
    run.steps.push_back(expect_idle_key(u"X"));
  }
  // A refusal does not end the capture: the next letter is taken, A alone included.
  run.steps.push_back(act([] { click(1003); }));
  run.steps.push_back(act([] { press('Z'); }));
  run.steps.push_back(screenshot("hotkey-refused"));
  run.steps.push_back(act([] { press('A'); }));
  run.steps.push_back(expect_idle_key(u"A"));
  // A second click during a capture clears the refusal and goes on capturing.
  run.steps.push_back(act([] { click(1003); }));
  run.steps.push_back(act([] { press(VK_F1); }));
  run.steps.push_back(expect_capture(REFUSED_HINT, u"A"));
  run.steps.push_back(act([] { click(1003); }));
  run.steps.push_back(expect_capture(CAPTURE_HINT, u"A"));
  run.steps.push_back(act([] { press(VK_ESCAPE); }));
  run.steps.push_back(expect_idle_key(u"A"));
  run.steps.push_back(act([] { click(IDCANCEL); }));
  EXPECT_EQ(run_driven(run, u""), 3);
}

TEST_F(MainDialog, HotkeyCaptureEndsUnchangedOnLossOfFocusAndIgnoresRepeats) {
  Driver run;
  run.steps = {
      // A held key sends repeats: a repeat changes nothing, and the capture goes on.
      act([] { click(1003); }),
      act([] { press('B', true); }),
      expect_capture(CAPTURE_HINT, u"X"),
      // Tab moves the focus on, which ends the capture.
      act([] { press(VK_TAB); }),
      act([] { EXPECT_EQ(GetFocus(), item(IDOK)); }),
      expect_idle_key(u"X"),
      // So does a click elsewhere.
      act([] { click(1003); }),
      expect_capture(CAPTURE_HINT, u"X"),
      act([] { SetFocus(item(1001)); }),
      expect_idle_key(u"X"),
      // Without a capture a letter does nothing to the hotkey.
      act([] { SetFocus(item(1003)); }),
      act([] { press('Q'); }),
      expect_idle_key(u"X"),
      // and Esc is the dialog's own again: it closes.
      act([] { press(VK_ESCAPE); }),
  };
  EXPECT_EQ(run_driven(run, u""), 3);
}

// ---- Operations -------------------------------------------------------------------------------

TEST_F(MainDialog, InstallWithAnEmptyDirectoryBoxAsksForTheDirectory) {
  reported_file = u"left/from/before.txt";  // a file of an earlier failure is not shown again
  Driver run;
  auto check = [](SeenBox& box) {
    EXPECT_EQ(box.caption, u"Lirra 补丁操作未完成");
    EXPECT_EQ(box.text, u"请选择游戏目录。");
    EXPECT_EQ(box.owner, driver->dialog);
    EXPECT_FALSE(box.yes_no);
    EXPECT_EQ(box.icon, LoadIconW(nullptr, IDI_ERROR));
    EXPECT_FALSE(box.dialog_locked) << "refused before anything runs: nothing is disabled";
    EXPECT_EQ(item_text(1004), FAILED_STATUS);
  };
  run.steps = {
      act([] { click(IDOK); }),
      act([] {
        EXPECT_EQ(item_text(1004), FAILED_STATUS);
        for (int id : LOCKED_CONTROLS) EXPECT_TRUE(IsWindowEnabled(item(id))) << id;
        EXPECT_EQ(GetFocus(), item(1001)) << "the directory was what failed";
        SetDlgItemTextW(driver->dialog, 1004, L"");
        // Enter in the directory box presses the default button: the install.
        SetFocus(item(1001));
        press(VK_RETURN);
      }),
      act([] { EXPECT_EQ(item_text(1004), FAILED_STATUS); }),
      act([] { click(IDCANCEL); }),
  };
  run.answers = {expect_box(check, IDOK), expect_box(check, IDOK)};
  EXPECT_EQ(run_driven(run, u""), 3);
  EXPECT_EQ(reported_file, u"");
}

TEST_F(MainDialog, DecliningTheConfirmationChangesNothing) {
  TempDir folder;
  const std::u16string typed = folder.path + u"\\sub\\.\\..";
  Driver run;
  run.steps = {
      act([] { click(IDOK); }),
      act([] {
        EXPECT_EQ(item_text(1004), INITIAL_STATUS);
        EXPECT_TRUE(driver->enable_changes.empty());
        click(1006);
      }),
      act([&] {
        EXPECT_EQ(item_text(1004), INITIAL_STATUS);
        EXPECT_EQ(item_text(1001), typed);  // the box keeps what was typed
        EXPECT_TRUE(driver->enable_changes.empty());
        click(IDCANCEL);
      }),
  };
  run.answers = {
      expect_box(
          [&](SeenBox& box) {
            EXPECT_EQ(box.caption, u"Lirra 简体中文补丁");
            EXPECT_EQ(box.text, u"将汉化文本、UI 和显示组件安装到：\n" + folder.path +
                                    u"\n\n原文开关：X\n汉化资源独立安装，原游戏文件保持原样。\n\n是否继续？");
            EXPECT_TRUE(box.yes_no);
            EXPECT_EQ(box.owner, driver->dialog);
            EXPECT_EQ(box.icon, LoadIconW(nullptr, IDI_QUESTION));
          },
          IDNO),
      expect_box(
          [&](SeenBox& box) {
            EXPECT_EQ(box.text, u"从以下目录移除本补丁：\n" + folder.path +
                                    u"\n\n安装记录和用户配置副本会继续保留。\n\n是否继续？");
            EXPECT_TRUE(box.yes_no);
          },
          IDNO),
  };
  EXPECT_EQ(run_driven(run, typed), 3);
  EXPECT_TRUE(RemoveDirectoryW(wide(folder.path))) << "something was written into the folder";
  CreateDirectoryW(wide(folder.path), nullptr);
}

// Closing while the confirmation is up must not end the dialog under the operation that Yes then
// starts: the program would report an install that completed as cancelled (exit code 3).
TEST_F(MainDialog, ACloseRequestDuringTheConfirmationIsIgnored) {
  TempDir folder;  // no game in it: the uninstall fails on its directory check
  Driver run;
  run.steps = {
      act([] { click(1006); }),
      act([] {
        EXPECT_TRUE(IsWindowVisible(driver->dialog));
        EXPECT_EQ(item_text(1004), FAILED_STATUS);
        click(IDCANCEL);
      }),
  };
  run.answers = {
      expect_box([](SeenBox&) { PostMessageW(driver->dialog, WM_CLOSE, 0, 0); }, IDYES),
      expect_box([](SeenBox& box) { EXPECT_EQ(box.caption, u"Lirra 补丁操作未完成"); }, IDOK),
  };
  EXPECT_EQ(run_driven(run, folder.path), 3);
}

// A failing operation: the dialog is locked while its error box is up, ignores close requests and
// its buttons then, and is usable again afterwards; with no success the dialog ends with 3.
TEST_F(MainDialog, AFailedOperationLocksTheDialogUntilItsErrorBoxIsAnswered) {
  TempDir folder;  // no game in it: verify fails on its directory check
  Driver run;
  run.steps = {
      act([] { click(1005); }),
      act([] {
        for (int id : LOCKED_CONTROLS) EXPECT_TRUE(IsWindowEnabled(item(id))) << id;
        EXPECT_EQ(item_text(1004), FAILED_STATUS);
        EXPECT_TRUE(IsWindow(driver->dialog));
        click(IDCANCEL);
      }),
  };
  run.answers = {expect_box(
      [](SeenBox& box) {
        EXPECT_EQ(box.caption, u"Lirra 补丁操作未完成");
        EXPECT_FALSE(box.text.empty());
        EXPECT_TRUE(box.dialog_locked);
        EXPECT_EQ(box.cursor_at_creation, LoadCursorW(nullptr, IDC_WAIT));
        // Close from outside, Esc, the hotkey box and a second run are all ignored while busy.
        PostMessageW(driver->dialog, WM_CLOSE, 0, 0);
        PostMessageW(driver->dialog, WM_COMMAND, IDCANCEL, 0);
        PostMessageW(driver->dialog, WM_COMMAND, 1003, 0);
        PostMessageW(driver->dialog, WM_COMMAND, IDOK, 0);
      },
      IDOK)};
  EXPECT_EQ(run_driven(run, folder.path), 3);
  ASSERT_EQ(run.status_texts.size(), 2u);
  EXPECT_EQ(run.status_texts[0], u"正在校验补丁和隔离资源…");
  EXPECT_TRUE(run.locked_at_status[0]);
  EXPECT_EQ(run.status_texts[1], FAILED_STATUS);
  std::vector<std::pair<int, bool>> expected_changes;
  for (int id : LOCKED_CONTROLS) expected_changes.emplace_back(id, false);
  for (int id : LOCKED_CONTROLS) expected_changes.emplace_back(id, true);
  EXPECT_EQ(run.enable_changes, expected_changes);
  EXPECT_EQ(run.boxes.size(), 1u) << "no second run and no capture while busy";
}

// The whole road through the window: the hotkey set by a key press, install confirmed, its result
// in the status line and a box, then verify and uninstall; the dialog is locked while each runs, its
// progress is on the screen, and Esc and Enter pressed meanwhile leave the result box up. The game
// folder is typed relative to the current one, so that the screenshots show no temporary name.
TEST_F(MainDialog, AConfirmedInstallOfTheDemoCompletesAndTheDialogEndsWithZero) {
  install_scene::Scene scene;
  const std::u16string game_dir = normalize_game_dir(scene.game);
  wchar_t before[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, before);
  SetCurrentDirectoryW(wide(scene.temp.path));
  operation_progress_shown = while_busy;
  const std::u16string installed = u"安装完成。请运行 VANROLauncher.exe；原文开关：Q。";
  auto shot = std::make_shared<Screenshot>();
  shot->name = "install-finished";
  Driver run;
  run.steps = {
      act([] { click(1003); }),
      act([] { press('Q'); }),
      act([] { click(IDOK); }),
      act([&] {
        EXPECT_EQ(item_text(1004), installed);
        for (int id : LOCKED_CONTROLS) EXPECT_TRUE(IsWindowEnabled(item(id))) << id;
        EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, IDC_ARROW));
        EXPECT_TRUE(exists(scene.in_game(u"VANROLauncher.exe")));
        wchar_t key[8] = {};
        GetPrivateProfileStringW(L"hud", L"toggle_key", L"", key, 8, wide(scene.in_game(u"_vanro/hook.ini")));
        EXPECT_STREQ(key, L"Q");
        // The focus is back on the button that ran, not on the first text, where Enter would
        // start another install.
        EXPECT_EQ(GetFocus(), item(IDOK));
        click(1005);
      }),
      act([] {
        EXPECT_EQ(item_text(1004), u"补丁及隔离资源校验通过。");
        EXPECT_EQ(GetFocus(), item(1005));
        click(1006);
      }),
      act([&] {
        EXPECT_EQ(item_text(1004), u"已移除补丁。原游戏文件未改动，安装记录继续保留。");
        EXPECT_EQ(GetFocus(), item(1006));
        EXPECT_FALSE(exists(scene.in_game(u"VANROLauncher.exe")));
      }),
  };
  // Each progress text as the idle dialog shows it: what the screen held while the operation ran.
  for (int i = 0; i < 3; ++i) {
    run.steps.push_back(act([i] { SetDlgItemTextW(driver->dialog, 1004, wide(PROGRESS[i])); }));
    run.steps.push_back(screenshot(OPERATIONS[i] + "-at-rest", 1004));
  }
  run.steps.push_back(act([] { click(IDCANCEL); }));
  auto result_box = [](const std::u16string& text) {
    return [text](SeenBox& box) {
      EXPECT_EQ(box.caption, u"Lirra 简体中文补丁");
      EXPECT_EQ(box.text, text);
      EXPECT_EQ(box.owner, driver->dialog);
      EXPECT_FALSE(box.yes_no);
      EXPECT_EQ(box.icon, LoadIconW(nullptr, IDI_INFORMATION));
      EXPECT_TRUE(box.dialog_locked);
      EXPECT_TRUE(IsWindowVisible(box.window)) << "closed by a key pressed while the operation ran";
      EXPECT_EQ(box.cursor_at_creation, LoadCursorW(nullptr, IDC_WAIT));
      EXPECT_EQ(item_text(1004), text);
    };
  };
  run.answers = {
      expect_box(
          [&](SeenBox& box) {
            EXPECT_EQ(box.text, u"将汉化文本、UI 和显示组件安装到：\n" + game_dir +
                                    u"\n\n原文开关：Q\n汉化资源独立安装，原游戏文件保持原样。\n\n是否继续？");
            EXPECT_TRUE(box.yes_no);
          },
          IDYES),
      [&](SeenBox& box) {
        if (!shot->started) {
          result_box(installed)(box);
          // A close request while the result box is up (Close from the taskbar) is ignored.
          PostMessageW(driver->dialog, WM_CLOSE, 0, 0);
          PostMessageW(driver->dialog, WM_COMMAND, IDCANCEL, 0);
        }
        return take_screenshot(*shot) ? IDOK : 0;
      },
      expect_box(result_box(u"补丁及隔离资源校验通过。"), IDOK),
      expect_box(
          [&](SeenBox& box) {
            EXPECT_EQ(box.text, u"从以下目录移除本补丁：\n" + game_dir +
                                    u"\n\n安装记录和用户配置副本会继续保留。\n\n是否继续？");
            EXPECT_TRUE(box.yes_no);
          },
          IDYES),
      expect_box(result_box(u"已移除补丁。原游戏文件未改动，安装记录继续保留。"), IDOK),
  };
  EXPECT_EQ(run_driven(run, u"game"), 0);
  SetCurrentDirectoryW(before);
  for (const std::string& operation : OPERATIONS) {
    const std::string shots = VANRO_BINARY_DIR "/screenshots/" + operation;
    EXPECT_EQ(read_bytes(shots + "-running.ppm"), read_bytes(shots + "-at-rest.ppm"))
        << operation << ": its progress was not on the screen while it ran";
  }
  EXPECT_EQ(selected_hotkey, u"Q");
  ASSERT_GE(run.status_texts.size(), 2u);
  EXPECT_EQ(run.status_texts[0], u"正在校验并独立安装…");
  EXPECT_TRUE(run.locked_at_status[0]);
  EXPECT_EQ(run.status_texts[1], installed);
  std::vector<std::pair<int, bool>> one_run;
  for (int id : LOCKED_CONTROLS) one_run.emplace_back(id, false);
  for (int id : LOCKED_CONTROLS) one_run.emplace_back(id, true);
  ASSERT_GE(run.enable_changes.size(), one_run.size());
  run.enable_changes.resize(one_run.size());
  EXPECT_EQ(run.enable_changes, one_run);
}

// ---- Creation failures ------------------------------------------------------------------------

TEST_F(MainDialog, ReportsThatItCannotBeCreated) {
  auto refuse = [](std::function<bool(const CREATESTRUCTW&)> which) {
    Driver run;
    run.refuse_creation = which;
    try {
      run_driven(run, u"");
      ADD_FAILURE() << "the dialog opened";
    } catch (const PatchError& error) {
      EXPECT_STREQ(error.what(), "无法创建补丁安装界面。");
    }
  };
  // The dialog window itself.
  refuse([](const CREATESTRUCTW& create) { return create.lpszClass == MAKEINTRESOURCEW(32770); });
  // The hotkey box, without which the hotkey cannot be set.
  refuse([](const CREATESTRUCTW& create) {
    return reinterpret_cast<INT_PTR>(create.hMenu) == 1003 && !IS_INTRESOURCE(create.lpszClass) &&
           lstrcmpiW(create.lpszClass, L"BUTTON") == 0;
  });
}

// ---- Folder picker ----------------------------------------------------------------------------

HWND find_child(HWND parent, const std::u16string& class_name) {
  for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (class_of(child) == class_name) return child;
    if (HWND inner = find_child(child, class_name)) return inner;
  }
  return nullptr;
}

bool shows_text(HWND parent, const std::u16string& text) {
  for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (text_of(child) == text || shows_text(child, text)) return true;
  }
  return false;
}

// The browser is answered the way a person answers it: a folder is picked in its tree (a folder
// that holds no game is returned all the same; the operation refuses it later), or it is cancelled.
TEST_F(MainDialog, BrowseFillsTheDirectoryBoxAndCancelKeepsIt) {
  Driver run;
  run.steps = {
      act([] { click(1002); }),
      act([] {
        EXPECT_EQ(item_text(1001), u"typed before");
        click(1002);
      }),
      act([] {
        EXPECT_EQ(item_text(1001), u"C:\\windows\\system32");
        click(1002);
      }),
      act([] {
        EXPECT_EQ(item_text(1001), u"C:\\");
        click(IDCANCEL);
      }),
  };
  auto pick = [](const std::u16string& path) {
    return [path](SeenBox& box) {
      EXPECT_EQ(box.owner, driver->dialog);
      EXPECT_TRUE(shows_text(box.window, u"选择包含 ZDH.EXE 与 AdvData 的游戏目录"));
      EXPECT_NE(find_child(box.window, u"Edit"), nullptr) << "the browser has no edit box";
      if (path.empty()) return IDCANCEL;
      // What a click on the folder in the browser's tree does.
      SendMessageW(box.window, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(path.c_str()));
      return IDOK;
    };
  };
  run.answers = {pick(u""), pick(u"C:\\windows\\system32"), pick(u"C:\\")};
  EXPECT_EQ(run_driven(run, u"typed before"), 3);
}

// From the entry (uninstall or verify without a directory) the picker has no owner.
TEST_F(MainDialog, FolderPickerWithoutOwnerReturnsThePickOrNothing) {
  Driver run;
  auto pick = [](const std::u16string& path) {
    return [path](SeenBox& box) {
      EXPECT_EQ(box.owner, nullptr);
      if (path.empty()) return IDCANCEL;
      SendMessageW(box.window, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(path.c_str()));
      return IDOK;
    };
  };
  run.answers = {pick(u"")};
  EXPECT_EQ(run_with_hooks(run, [] { return browse_for_game_dir(nullptr); }), u"");
  run.answers = {pick(u"C:\\windows")};
  EXPECT_EQ(run_with_hooks(run, [] { return browse_for_game_dir(nullptr); }), u"C:\\windows");
}

}  // namespace
