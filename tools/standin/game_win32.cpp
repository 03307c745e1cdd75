// The stand-in game's Windows half: a GUI-subsystem program that opens no window.
#include <windows.h>

#include <string>

#include "common/text.h"
#include "tools/standin/standin_game.h"

std::string start_runtime(const std::u16string& library_path) {
  if (GetFileAttributesW(reinterpret_cast<const wchar_t*>(library_path.c_str())) == INVALID_FILE_ATTRIBUTES)
    return "missing";
  // Loaded by its full path, as the real game finds it in the folder of its own image.
  HMODULE library = LoadLibraryW(reinterpret_cast<const wchar_t*>(library_path.c_str()));
  if (library == nullptr) return "not-loadable";
  auto entry = reinterpret_cast<void (*)()>(reinterpret_cast<void*>(GetProcAddress(library, RUNTIME_ENTRY)));
  if (entry == nullptr) return "no-entry";
  entry();
  return "started";
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // The command line as the process received it, quotes and all: that is what the launcher passed.
  const wchar_t* line = GetCommandLineW();
  try {
    return run_standin_game(wide_to_utf8(reinterpret_cast<const char16_t*>(line)));
  } catch (...) {
    return 3;
  }
}
