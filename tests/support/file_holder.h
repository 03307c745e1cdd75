// The scanner stand-in (tests/file_holder.cpp) started beside the programs under test: it opens a
// file once it appears, with a chosen sharing, and holds it for a chosen time. Windows only.
// Header only, for the tests of momentary holds.
#pragma once

#ifdef _WIN32
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>

namespace file_holder {

enum class Sharing { read, all };

struct Holder {
  PROCESS_INFORMATION process{};
  std::wstring mark;

  // `path` may hold one `*` element in its folder part; `mark` is created once the file is held.
  Holder(const std::u16string& path, Sharing sharing, unsigned milliseconds, const std::u16string& mark_path)
      : mark(mark_path.begin(), mark_path.end()) {
    std::wstring program = std::filesystem::path(VANRO_FILE_HOLDER_PATH).wstring();
    std::wstring command = L"\"" + program + L"\" \"" + std::wstring(path.begin(), path.end()) + L"\" " +
                           (sharing == Sharing::all ? L"all " : L"read ") + std::to_wstring(milliseconds) + L" \"" +
                           mark + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    // No console: Wine's conhost.exe would inherit the test's output pipe and outlive the holder.
    EXPECT_TRUE(CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                               nullptr, &startup, &process));
  }
  // For a file that exists already: the operation starts only once the hold has begun.
  void wait_until_holding() const {
    for (int attempt = 0; attempt < 3000 && !held(); ++attempt) Sleep(10);
    EXPECT_TRUE(held()) << "the holder never opened its file";
  }
  bool held() const { return GetFileAttributesW(mark.c_str()) != INVALID_FILE_ATTRIBUTES; }
  // Waits until the holder has let go; its exit code (0 once it held the file).
  DWORD wait() {
    WaitForSingleObject(process.hProcess, 90000);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    return code;
  }
  ~Holder() {
    TerminateProcess(process.hProcess, 0);
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;
};

}  // namespace file_holder
#endif
