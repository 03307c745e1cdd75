#include "common/platform_faults.h"

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "common/platform.h"

namespace platform {
namespace {

#ifdef VANRO_TEST_BUILD
struct FaultState {
  testing::FaultMode mode = testing::FaultMode::none;
  uint64_t nth = 0;
  uint64_t calls = 0;
  std::optional<uint64_t> free_space;
  bool loaded = false;
  bool recording = false;
  std::vector<testing::MutatingCall> recorded;
};

FaultState& state() {
  static FaultState s;
  return s;
}

// VANRO_FAULT="fail:N" or "crash:N"; VANRO_FREE_SPACE="BYTES". Read once, on first use.
void load_environment(FaultState& s) {
  if (s.loaded) return;
  s.loaded = true;
  if (const char* fault = std::getenv("VANRO_FAULT")) {
    std::string text = fault;
    auto colon = text.find(':');
    if (colon != std::string::npos) {
      std::string mode = text.substr(0, colon);
      uint64_t nth = std::strtoull(text.c_str() + colon + 1, nullptr, 10);
      if (mode == "fail") s.mode = testing::FaultMode::fail;
      if (mode == "crash") s.mode = testing::FaultMode::crash;
      s.nth = nth;
    }
  }
  if (const char* space = std::getenv("VANRO_FREE_SPACE")) s.free_space = std::strtoull(space, nullptr, 10);
}
#endif

}  // namespace

namespace faults {

bool fail_here([[maybe_unused]] const char* call, [[maybe_unused]] const std::u16string& path) {
#ifdef VANRO_TEST_BUILD
  FaultState& s = state();
  load_environment(s);
  ++s.calls;
  if (s.recording) s.recorded.push_back({call, path});
  if (s.mode == testing::FaultMode::none || s.calls != s.nth) return false;
  // A crash ends the process at once: no destructors, no flushing, as a power cut would.
  if (s.mode == testing::FaultMode::crash) std::_Exit(86);
  return true;
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

}  // namespace faults

namespace testing {

void set_fault([[maybe_unused]] FaultMode mode, [[maybe_unused]] uint64_t nth) {
#ifdef VANRO_TEST_BUILD
  FaultState& s = state();
  s.loaded = true;
  s.mode = mode;
  s.nth = nth;
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

}  // namespace testing
}  // namespace platform
