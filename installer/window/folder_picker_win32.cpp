// The folder picker: the system's folder browser, which needs COM on this thread (the entry starts
// it as a single-threaded apartment before anything else).
#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "common/patch_error.h"
#include "installer/entry.h"
#include "installer/window/window.h"

std::u16string browse_for_game_dir(void* owner) {
  BROWSEINFOW info{};
  info.hwndOwner = static_cast<HWND>(owner);
  info.lpszTitle = L"选择包含 ZDH.EXE 与 AdvData 的游戏目录";
  // No callback: nothing is preselected; the title says what to pick, and the operation's own
  // directory check refuses a wrong folder later.
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_EDITBOX | BIF_NEWDIALOGSTYLE;
  PIDLIST_ABSOLUTE item = SHBrowseForFolderW(&info);
  if (!item) return {};
  // Room for the longest path the system allows, so that a long game path is not cut.
  std::vector<wchar_t> path(32768);
  BOOL found = SHGetPathFromIDListEx(item, path.data(), static_cast<DWORD>(path.size()), GPFIDL_DEFAULT);
  CoTaskMemFree(item);
  if (!found) throw PatchError("无法获取所选目录。");
  return normalize_game_dir(reinterpret_cast<const char16_t*>(path.data()));
}
