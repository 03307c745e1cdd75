// A real process started from a copy of a program that waits, standing in for a running game.
// Natively the program is /bin/sleep; in the Windows build it is the test program itself, which
// waits in its test GameDirSleeper.WaitsWhenAsked when the environment asks it to.
// Header only, for the tests of the running-game check and of the operations.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

#include "common/path_safety.h"
#include "common/platform.h"
#include "common/text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
extern char** environ;
#endif

namespace sleeper {

// Puts the waiting program at `image`, padded with zero bytes to at least `size` bytes (a program
// runs as well with data after its end).
inline void place_program(const std::u16string& image, uint64_t size = 0) {
  namespace fs = std::filesystem;
#ifdef _WIN32
  fs::copy_file(fs::path(get_module_path()), fs::path(image));
#else
  fs::copy_file("/bin/sleep", fs::path(image));
#endif
  if (fs::file_size(fs::path(image)) < size) fs::resize_file(fs::path(image), size);
}

struct Sleeper {
#ifdef _WIN32
  PROCESS_INFORMATION process{};
  explicit Sleeper(const std::u16string& image) {
    if (!std::filesystem::exists(std::filesystem::path(image))) place_program(image);
    std::wstring command = L"\"" + std::wstring(image.begin(), image.end()) + L"\" --gtest_filter=GameDirSleeper.*";
    SetEnvironmentVariableW(L"VANRO_TEST_SLEEP", L"1");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    // No console at all: a console of its own would be Wine's conhost.exe, which inherits the test's
    // output pipe and may outlive the sleeper, so that ctest waits for it.
    bool started = CreateProcessW(reinterpret_cast<const wchar_t*>(image.c_str()), command.data(), nullptr, nullptr,
                                  FALSE, DETACHED_PROCESS, nullptr, nullptr, &startup, &process);
    SetEnvironmentVariableW(L"VANRO_TEST_SLEEP", nullptr);
    EXPECT_TRUE(started);
  }
  ~Sleeper() {
    TerminateProcess(process.hProcess, 0);
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
#else
  pid_t pid = 0;
  explicit Sleeper(const std::u16string& image) {
    if (!std::filesystem::exists(std::filesystem::path(image))) place_program(image);
    std::string path = std::filesystem::path(image).string();
    char seconds[] = "60";
    char* arguments[] = {path.data(), seconds, nullptr};
    EXPECT_EQ(posix_spawn(&pid, path.c_str(), nullptr, nullptr, arguments, environ), 0);
  }
  ~Sleeper() {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
#endif
  Sleeper(const Sleeper&) = delete;
  Sleeper& operator=(const Sleeper&) = delete;
};

// Waits until the process list shows the image, so that a negative answer means something.
inline bool listed(const std::u16string& image) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    for (const std::u16string& running : platform::other_process_images())
      if (same_path(running, image)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

}  // namespace sleeper
