#include "common/platform_faults.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace platform {
namespace {

#ifdef VANRO_TEST_BUILD
// A file's bytes that the file system holds but the disk may not: written since its last flush.
struct DirtyFile {
  uint64_t flushed_size = 0;
  uint64_t size = 0;  // as far as the tracked writes tell
  std::vector<std::pair<uint64_t, uint64_t>> ranges;  // offset, length
};

struct FaultState {
  testing::FaultMode mode = testing::FaultMode::none;
  uint64_t nth = 0;
  uint64_t times = 1;  // held answers still to give, in FaultMode::held
  uint64_t calls = 0;
  std::optional<uint64_t> free_space;
  bool windows_path_limits = false;
  bool loaded = false;
  bool recording = false;
  std::vector<testing::MutatingCall> recorded;
  std::map<std::u16string, DirtyFile> dirty;             // by path
  std::map<FileHandle, std::u16string> handles;          // open for writing
  std::map<FileHandle, uint64_t> positions;
  uint64_t action_at = 0;
  std::function<void()> action;
};

FaultState& state() {
  static FaultState s;
  return s;
}

testing::FaultMode mode_named(const std::string& name) {
  if (name == "fail") return testing::FaultMode::fail;
  if (name == "crash") return testing::FaultMode::crash;
  if (name == "held") return testing::FaultMode::held;
  if (name == "cut-zero") return testing::FaultMode::cut_zero;
  if (name == "cut-truncate") return testing::FaultMode::cut_truncate;
  return testing::FaultMode::none;
}

// VANRO_FAULT="MODE:N" (or "held:N:K"); VANRO_FREE_SPACE="BYTES"; VANRO_WINDOWS_PATH_LIMITS="1".
// Read once, on first use.
void load_environment(FaultState& s) {
  if (s.loaded) return;
  s.loaded = true;
  if (const char* fault = std::getenv("VANRO_FAULT")) {
    std::string text = fault;
    auto colon = text.find(':');
    if (colon != std::string::npos) {
      s.mode = mode_named(text.substr(0, colon));
      char* end = nullptr;
      s.nth = std::strtoull(text.c_str() + colon + 1, &end, 10);
      if (end && *end == ':') s.times = std::strtoull(end + 1, nullptr, 10);
    }
  }
  if (const char* space = std::getenv("VANRO_FREE_SPACE")) s.free_space = std::strtoull(space, nullptr, 10);
  if (const char* limits = std::getenv("VANRO_WINDOWS_PATH_LIMITS")) s.windows_path_limits = std::string(limits) == "1";
}

std::filesystem::path disk_path(std::u16string path) {
#ifndef _WIN32
  for (char16_t& c : path)
    if (c == u'\\') c = u'/';
#endif
  return std::filesystem::path(path);
}

// What the disk holds after the power went: the bytes written since a file's last flush are gone,
// as zeros where they were, or, cutting the file back to its flushed length, as no bytes at all
// past it (and zeros below it, where a write changed flushed bytes).
void lose_unflushed_data(const FaultState& s) {
  for (const auto& [path, file] : s.dirty) {
    std::error_code error;
    std::filesystem::path at = disk_path(path);
    uint64_t size = std::filesystem::file_size(at, error);
    if (error) continue;
    uint64_t keep = s.mode == testing::FaultMode::cut_truncate ? std::min(size, file.flushed_size) : size;
    if (keep < size) std::filesystem::resize_file(at, keep, error);
    std::fstream stream(at, std::ios::in | std::ios::out | std::ios::binary);
    for (auto [offset, length] : file.ranges) {
      if (offset >= keep) continue;
      std::string zeros(static_cast<std::size_t>(std::min(length, keep - offset)), '\0');
      stream.seekp(static_cast<std::streamoff>(offset));
      stream.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    }
  }
}

void add_range(DirtyFile& file, uint64_t offset, uint64_t length) {
  if (length == 0) return;
  file.ranges.push_back({offset, length});
  file.size = std::max(file.size, offset + length);
}
#endif

}  // namespace

namespace faults {

Injected fail_here([[maybe_unused]] const char* call, [[maybe_unused]] const std::u16string& path) {
#ifdef VANRO_TEST_BUILD
  FaultState& s = state();
  load_environment(s);
  ++s.calls;
  if (s.recording) s.recorded.push_back({call, path});
  if (s.action && s.calls == s.action_at) std::exchange(s.action, nullptr)();
  // A hold keeps a file from being opened, renamed or deleted: only calls that name a path meet it,
  // from the chosen call on, until it has been answered the chosen number of times.
  if (s.mode == testing::FaultMode::held) {
    if (s.calls < s.nth || path.empty() || s.times == 0) return Injected::none;
    --s.times;
    return Injected::held;
  }
  if (s.mode == testing::FaultMode::none || s.calls != s.nth) return Injected::none;
  if (s.mode == testing::FaultMode::fail) return Injected::fault;
  if (s.mode != testing::FaultMode::crash) lose_unflushed_data(s);
  // The process ends at once: no destructors, no flushing of the program's own buffers.
  std::_Exit(86);
#else
  return Injected::none;
#endif
}

Injected fail_here(const char* call, [[maybe_unused]] FileHandle file) {
#ifdef VANRO_TEST_BUILD
  FaultState& s = state();
  auto path = s.handles.find(file);
  if (s.recording && path != s.handles.end()) {
    s.recording = false;
    Injected injected = fail_here(call);
    s.recording = true;
    s.recorded.push_back({call, path->second});
    return injected;
  }
#endif
  return fail_here(call);
}

bool instant_waits() {
#ifdef VANRO_TEST_BUILD
  load_environment(state());
  return state().mode == testing::FaultMode::held;
#else
  return false;
#endif
}

std::optional<uint64_t> free_space_override() {
#ifdef VANRO_TEST_BUILD
  load_environment(state());
  return state().free_space;
#else
  return std::nullopt;
#endif
}

bool windows_path_limits() {
#ifdef VANRO_TEST_BUILD
  load_environment(state());
  return state().windows_path_limits;
#else
  return false;
#endif
}

#ifdef VANRO_TEST_BUILD
void created(FileHandle file, const std::u16string& path) {
  FaultState& s = state();
  s.handles[file] = path;
  s.positions[file] = 0;
  s.dirty[path] = DirtyFile{};
}

void written(FileHandle file, uint64_t bytes) {
  FaultState& s = state();
  auto path = s.handles.find(file);
  if (path == s.handles.end()) return;
  add_range(s.dirty[path->second], s.positions[file], bytes);
  s.positions[file] += bytes;
}

void flushed(FileHandle file) {
  FaultState& s = state();
  auto path = s.handles.find(file);
  if (path != s.handles.end()) flushed(path->second);
}

void closed(FileHandle file) {
  state().handles.erase(file);
  state().positions.erase(file);
}

void rewritten(const std::u16string& path) {
  std::error_code error;
  uint64_t size = std::filesystem::file_size(disk_path(path), error);
  DirtyFile& file = state().dirty[path];
  if (!error) add_range(file, 0, size);
}

void flushed(const std::u16string& path) {
  FaultState& s = state();
  auto file = s.dirty.find(path);
  if (file == s.dirty.end()) return;
  file->second.flushed_size = file->second.size;
  file->second.ranges.clear();
}

void moved(const std::u16string& source, const std::u16string& destination) {
  FaultState& s = state();
  auto file = s.dirty.find(source);
  if (file == s.dirty.end()) return;
  DirtyFile moved_file = std::move(file->second);
  s.dirty.erase(file);
  s.dirty[destination] = std::move(moved_file);
}

void deleted(const std::u16string& path) { state().dirty.erase(path); }
#else
void created(FileHandle, const std::u16string&) {}
void written(FileHandle, uint64_t) {}
void flushed(FileHandle) {}
void closed(FileHandle) {}
void rewritten(const std::u16string&) {}
void flushed(const std::u16string&) {}
void moved(const std::u16string&, const std::u16string&) {}
void deleted(const std::u16string&) {}
#endif

}  // namespace faults

namespace testing {

void set_fault([[maybe_unused]] FaultMode mode, [[maybe_unused]] uint64_t nth, [[maybe_unused]] uint64_t times) {
#ifdef VANRO_TEST_BUILD
  FaultState& s = state();
  s.loaded = true;
  s.mode = mode;
  s.nth = nth;
  s.times = times;
  s.calls = 0;
#endif
}

uint64_t mutating_calls() {
#ifdef VANRO_TEST_BUILD
  return state().calls;
#else
  return 0;
#endif
}

void start_recording() {
#ifdef VANRO_TEST_BUILD
  state().recording = true;
  state().recorded.clear();
#endif
}

std::vector<MutatingCall> recorded_calls() {
#ifdef VANRO_TEST_BUILD
  state().recording = false;
  return std::move(state().recorded);
#else
  return {};
#endif
}

void set_free_space([[maybe_unused]] std::optional<uint64_t> bytes) {
#ifdef VANRO_TEST_BUILD
  state().loaded = true;
  state().free_space = bytes;
#endif
}

void run_at([[maybe_unused]] uint64_t nth, [[maybe_unused]] std::function<void()> action) {
#ifdef VANRO_TEST_BUILD
  FaultState& s = state();
  s.loaded = true;
  s.calls = 0;
  s.action_at = nth;
  s.action = std::move(action);
#endif
}

void set_windows_path_limits([[maybe_unused]] bool on) {
#ifdef VANRO_TEST_BUILD
  load_environment(state());
  state().windows_path_limits = on;
#endif
}

}  // namespace testing
}  // namespace platform
