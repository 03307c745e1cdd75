#include "tests/support/process.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "common/text.h"
#include "tests/support/temp_dir.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

#ifdef _WIN32
constexpr char LINE_END[] = "\r\n";

const wchar_t* wide(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

HANDLE inheritable_output(const fs::path& path) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}
#else
constexpr char LINE_END[] = "\n";
#endif

}  // namespace

#ifdef _WIN32
RunResult run_program(const std::u16string& program, const std::vector<std::u16string>& arguments,
                      const Environment& environment, const std::u16string& working_directory) {
  TempDir capture;
  fs::path out_path = fs::path(capture.path) / "out", err_path = fs::path(capture.path) / "err";
  std::u16string command_line = u"\"" + program + u"\"";
  for (const std::u16string& argument : arguments) command_line += u" \"" + argument + u"\"";
  std::vector<wchar_t> writable(command_line.begin(), command_line.end());
  writable.push_back(L'\0');

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = inheritable_output(out_path);
  startup.hStdError = inheritable_output(err_path);
  for (const auto& [name, value] : environment)
    SetEnvironmentVariableW(wide(utf8_to_wide(name)), wide(utf8_to_wide(value)));
  PROCESS_INFORMATION started{};
  // Wine now and then fails a start on a loaded machine with ERROR_INTERNAL_ERROR, before the program
  // has run at all: such a start is tried again.
  BOOL created = FALSE;
  for (int attempt = 0; attempt < 3 && !created; ++attempt) {
    if (attempt > 0) Sleep(1000);
    created = CreateProcessW(wide(program), writable.data(), nullptr, nullptr, TRUE, 0, nullptr,
                             working_directory.empty() ? nullptr : wide(working_directory), &startup, &started);
    if (!created && GetLastError() != ERROR_INTERNAL_ERROR) break;
  }
  for (const auto& [name, value] : environment) SetEnvironmentVariableW(wide(utf8_to_wide(name)), nullptr);
  CloseHandle(startup.hStdOutput);
  CloseHandle(startup.hStdError);
  RunResult result;
  if (!created) {
    ADD_FAILURE() << "cannot start the program, error " << GetLastError();
    return result;
  }
  CloseHandle(started.hThread);
  if (WaitForSingleObject(started.hProcess, 60000) != WAIT_OBJECT_0) {
    TerminateProcess(started.hProcess, 99);
    WaitForSingleObject(started.hProcess, 5000);
    ADD_FAILURE() << "the program did not end within 60 s";
  }
  DWORD code = 0;
  GetExitCodeProcess(started.hProcess, &code);
  CloseHandle(started.hProcess);
  result.exit_code = static_cast<int>(code);
  result.out = read_bytes(out_path);
  result.err = read_bytes(err_path);
  return result;
}

bool boxes_return_at_once() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  bool under_wine = ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  return under_wine && GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) == 0;
}

std::u16string build_path(const char* path) {
  // Wine shows the Linux root as drive Z:.
  std::u16string windows = u"Z:" + utf8_to_wide(path);
  for (char16_t& c : windows)
    if (c == u'/') c = u'\\';
  return windows;
}
#else
RunResult run_program(const std::u16string& program, const std::vector<std::u16string>& arguments,
                      const Environment& environment, const std::u16string& working_directory) {
  TempDir capture;
  std::string out_path = fs::path(capture.path) / "out", err_path = fs::path(capture.path) / "err";
  std::vector<std::string> argument_texts{wide_to_utf8(program)};
  for (const std::u16string& argument : arguments) argument_texts.push_back(wide_to_utf8(argument));
  std::vector<char*> argv;
  for (std::string& text : argument_texts) argv.push_back(text.data());
  argv.push_back(nullptr);
  std::vector<std::string> environment_texts;
  for (char** entry = environ; *entry != nullptr; ++entry) environment_texts.emplace_back(*entry);
  for (const auto& [name, value] : environment) environment_texts.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& text : environment_texts) envp.push_back(text.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::string directory = wide_to_utf8(working_directory);
  if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  pid_t pid = 0;
  int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  RunResult result;
  if (error != 0) {
    ADD_FAILURE() << "cannot start the program, error " << error;
    return result;
  }
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + 60s;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "the program did not end within 60 s";
      break;
    }
    std::this_thread::sleep_for(2ms);
  }
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = read_bytes(out_path);
  result.err = read_bytes(err_path);
  return result;
}

bool boxes_return_at_once() { return true; }

std::u16string build_path(const char* path) { return utf8_to_wide(path); }
#endif

std::string as_stream_text(std::string_view text) {
  std::string result;
  for (char c : text) {
    if (c == '\n')
      result += LINE_END;
    else
      result.push_back(c);
  }
  return result;
}

std::string reported(std::string_view message) { return as_stream_text(std::string(message) + "\n"); }
