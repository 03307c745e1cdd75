// Speed of the two package parsers on inputs at their size budgets.
//
// The save compatibility table parse is compared with a plain sequential pass over the same
// buffer (a sum of its 32-bit words): the ratio says how close the parser comes to the cost of
// touching every byte once. Also shows that a hostile token count is refused before anything is
// allocated for it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <malloc.h>
#include <string>
#include <vector>

#include "common/patch_error.h"
#include "package/manifest.h"
#include "package/save_table.h"

namespace {

constexpr uint32_t SCRIPTS = 511;
constexpr uint32_t TOTAL_TOKENS = 3000000;
constexpr uint32_t TOTAL_ANCHORS = 200000;
constexpr std::size_t TEXT_LENGTH = 11;
constexpr int RUNS = 5;

void put_u32(std::string& out, uint32_t value) {
  const char bytes[4] = {static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF),
                         static_cast<char>((value >> 16) & 0xFF), static_cast<char>(value >> 24)};
  out.append(bytes, 4);
}

uint32_t share(uint32_t total, uint32_t index) { return total / SCRIPTS + (index < total % SCRIPTS ? 1 : 0); }

std::size_t script_size(uint32_t tokens, uint32_t anchors, uint32_t blocks) {
  return 4 + 4 + 16 + 128 + 4 + std::size_t{tokens} * 20 + 4 + std::size_t{anchors} * (12 + 2 * TEXT_LENGTH) + 4 +
         std::size_t{blocks} * 12;
}

// A valid table with every token and anchor the budgets allow, topped up with blocks to just
// under the 64 MiB file limit.
std::string build_table() {
  std::size_t size = 12;
  for (uint32_t i = 0; i < SCRIPTS; ++i) size += script_size(share(TOTAL_TOKENS, i), share(TOTAL_ANCHORS, i), 0);
  const uint32_t blocks_per_script = static_cast<uint32_t>((SAVE_TABLE_LIMIT - size) / 12 / SCRIPTS);
  size += std::size_t{blocks_per_script} * 12 * SCRIPTS;

  std::string out;
  out.reserve(size);
  out += "ZDHSV001";
  put_u32(out, SCRIPTS);
  for (uint32_t i = 0; i < SCRIPTS; ++i) {
    const uint32_t tokens = share(TOTAL_TOKENS, i);
    const uint32_t anchors = share(TOTAL_ANCHORS, i);
    char name[8];
    std::snprintf(name, sizeof name, "s%03u", i);
    put_u32(out, 4);
    out.append(name, 4);
    for (uint32_t bound : {1000u, 2000u, 3 + tokens, 3 + 2 * tokens}) put_u32(out, bound);
    for (int d = 0; d < 128; ++d) out.push_back(static_cast<char>((i * 131 + d) & 0xFF));
    put_u32(out, tokens);
    for (uint32_t t = 0; t < tokens; ++t) {
      for (uint32_t v : {3 + t, 4 + t, 3 + 2 * t, 5 + 2 * t, 106 + t % 4}) put_u32(out, v);
    }
    put_u32(out, anchors);
    const uint32_t step = tokens / anchors;
    for (uint32_t a = 0; a < anchors; ++a) {
      put_u32(out, a * step - (a * step) % 4);  // opcode 106 lies on every fourth token
      put_u32(out, TEXT_LENGTH);
      out.append(TEXT_LENGTH, 'j');
      put_u32(out, TEXT_LENGTH);
      out.append(TEXT_LENGTH, 'c');
    }
    put_u32(out, blocks_per_script);
    for (uint32_t b = 0; b < blocks_per_script; ++b) {
      for (uint32_t v : {b % tokens, (b & 1) ? 0x80000000u : 0u, b & 0xFFFF}) put_u32(out, v);
    }
  }
  return out;
}

// About 2 MiB: 503 resources with long, partly non-ASCII paths, and the twelve fixed files.
std::string build_manifest() {
  const std::string digest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  std::string text = "VANROPATCH04\r\n";
  std::string long_dirs;
  while (long_dirs.size() < 4000) long_dirs += "\xe7\xac\xac\xe4\xb8\x80\xe7\xab\xa0 Chapter \xc3\x84\xce\xa3/";
  for (uint32_t i = 0; i < 503; ++i) {
    const char* root = i < 400 ? "_vanro/patch/AdvData/MES/" : "_vanro/patch/AdvData/GRP/SYSTEM/";
    text += root + long_dirs + "file" + std::to_string(i) + ".bin\t-\t" + digest + "\r\n";
  }
  for (const char* path : {"_vanro/characters.bin", "_vanro/japanese.bin", "_vanro/japanese-emphasis.bin",
                           "_vanro/save-offsets.bin", "_vanro/hook.ini", "_vanro/sarasa-gothic-sc-bold.ttf",
                           "_vanro/FONT-LICENSE.txt", "_vanro/core-files.tsv", "_vanro/core-files.sig",
                           "_vanro/runtime/winmm.dll", "VANROLauncher.exe"}) {
    text += std::string(path) + "\t-\t" + digest + "\r\n";
  }
  text += "_vanro/runtime/VANROGame.exe\t-\tgenerated\r\n";
  return text;
}

// CPU time of this thread, user and system (page faults included): unlike wall time it does not
// count the time other processes on a busy machine take from us.
double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct Timing {
  double first;  // the first run, on memory the process touches for the first time
  double best;   // the best of all runs
};

template <typename F>
Timing time_runs(F&& run) {
  Timing timing{0, 1e9};
  for (int i = 0; i < RUNS; ++i) {
    const double start = cpu_seconds();
    run();
    const double spent = cpu_seconds() - start;
    if (i == 0) timing.first = spent;
    timing.best = std::min(timing.best, spent);
  }
  return timing;
}

volatile uint32_t sink;

uint32_t sum_words(const std::string& buffer) {
  const char* p = buffer.data();
  const std::size_t words = buffer.size() / 4;
  uint32_t sum = 0;
  for (std::size_t i = 0; i < words; ++i) {
    uint32_t w;
    std::memcpy(&w, p + 4 * i, 4);
    sum += w;
  }
  return sum;
}

// VmHWM or VmRSS from /proc/self/status, in KiB.
long status_kib(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::strlen(key) + 1));
  }
  return -1;
}

void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

double mb_per_s(std::size_t bytes, double seconds) { return static_cast<double>(bytes) / 1e6 / seconds; }

}  // namespace

int main() {
  // Freed memory stays with the process, so that repeated runs measure the parser and not the
  // kernel handing out fresh pages (on this kind of virtual machine a first-touch page fault costs
  // several microseconds: 60 MB of tokens cost more to fault in than to parse).
  mallopt(M_MMAP_THRESHOLD, 256 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  std::string table = build_table();
  std::printf("table: %.1f MB (%zu bytes), %u scripts, %u tokens, %u anchors\n",
              static_cast<double>(table.size()) / 1e6, table.size(), SCRIPTS, TOTAL_TOKENS, TOTAL_ANCHORS);

  // The hostile count first, while the peak still reflects little more than the buffer.
  const std::size_t token_count_at = 12 + 4 + 4 + 16 + 128;
  std::string saved = table.substr(token_count_at, 4);
  table.replace(token_count_at, 4, "\x00\x28\x6b\xee", 4);  // 4,000,000,000 little-endian
  reset_peak();
  const long rss_before = status_kib("VmRSS:");
  const long peak_before = status_kib("VmHWM:");
  std::string refusal = "(accepted)";
  try {
    parse_save_compat_table(table);
  } catch (const PatchError& error) {
    refusal = error.what();
  }
  const long peak_after = status_kib("VmHWM:");
  std::printf("hostile token count 4000000000: \"%s\"; peak memory %ld KiB above the buffer (VmRSS %ld KiB, "
              "VmHWM %ld -> %ld KiB)\n",
              refusal.c_str(), peak_after - std::max(rss_before, 0L), rss_before, peak_before, peak_after);
  table.replace(token_count_at, 4, saved);

  std::size_t blocks = 0;
  const Timing parse = time_runs([&] {
    const SaveCompatTable parsed = parse_save_compat_table(table);
    blocks = 0;
    for (const auto& [name, script] : parsed) blocks += script.blocks.size();
  });
  const Timing plain = time_runs([&] { sink = sum_words(table); });
  const double parse_rate = mb_per_s(table.size(), parse.best);
  const double plain_rate = mb_per_s(table.size(), plain.best);
  std::printf("table parse: %.0f MB/s (CPU time, best of %d: %.1f ms; %zu blocks)\n", parse_rate, RUNS,
              parse.best * 1e3, blocks);
  std::printf("table parse, first run with fresh output memory: %.0f MB/s (%.1f ms)\n",
              mb_per_s(table.size(), parse.first), parse.first * 1e3);
  std::printf("plain pass (sum of 32-bit words): %.0f MB/s (CPU time, best of %d: %.1f ms)\n", plain_rate, RUNS,
              plain.best * 1e3);

  const std::string manifest = build_manifest();
  std::size_t records = 0;
  const Timing manifest_parse = time_runs([&] {
    records = parse_manifest_records(split_lines(manifest), 1, RecordMode::manifest).size();
  });
  std::printf("manifest: %.2f MB, %zu records; parse %.0f MB/s (CPU time, best of %d: %.1f ms)\n",
              static_cast<double>(manifest.size()) / 1e6, records, mb_per_s(manifest.size(), manifest_parse.best),
              RUNS, manifest_parse.best * 1e3);

  std::printf("ratio=%.3f\n", parse_rate / plain_rate);
  return 0;
}
