// The demo generator. Every byte it writes follows from the profile, the seed and the files given
// on the command line: no clock, no process id and no random device is consulted, so two runs with
// the same options write identical trees (the signature too, which pack signs deterministically).
//
// OUT/game     a synthetic game folder: ZDH.EXE longer than the largest byte-fix offset, one
//              AdvData/MES/<name>.MES per script of the save table, and some other AdvData content
// OUT/input    the pack input: 300 translated scripts and 203 system graphics, the nine supplied
//              fixed files (a save table whose digest2 values are the translated scripts' digests)
// OUT/package  the signed package made from OUT/input, with VANROInstaller.exe when one is given
#include "tools/demo/demo.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string_view>
#include <vector>

#include "common/launch_copy.h"
#include "common/patch_error.h"
#include "common/text.h"
#include "integrity/sha256.h"
#include "package/manifest.h"
#include "package/save_compat.h"
#include "package/save_table.h"
#include "tools/pack/pack.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t TRANSLATED_SCRIPT_COUNT = 300;
constexpr char STAMP_NAME[] = ".vanro-demo-stamp";
constexpr char LOCK_NAME[] = ".vanro-demo.lock";

struct Range {
  uint64_t low, high;
};

struct Profile {
  const char* name;
  uint64_t zdh_exe;
  Range game_script, game_graphic, sound;
  std::size_t sounds;
  Range translated_script, graphic;
  uint64_t large_graphic;  // size of the few title and background graphics
  uint64_t characters, japanese, emphasis, font, runtime_dll, launcher;
  Range tokens;
  uint32_t token_length;
  Range blocks;
};

uint64_t largest_fix_offset() {
  uint64_t largest = 0;
  for (const LaunchFix& fix : LAUNCH_FIX_TABLE) largest = std::max<uint64_t>(largest, fix.offset);
  return largest;
}

constexpr uint64_t KIB = 1024, MIB = 1024 * 1024;

Profile profile_of(DemoProfile which) {
  if (which == DemoProfile::small) {
    // ZDH.EXE only just longer than the largest offset: the smallest game the launch copy fits.
    uint64_t zdh = (largest_fix_offset() / 4096 + 1) * 4096;
    return {"small", zdh, {64, 256}, {64, 256}, {64, 192}, 8, {64, 512}, {64, 512}, 512,
            1 * KIB, 1 * KIB, 512, 4 * KIB, 4 * KIB, 2 * KIB, {1, 6}, 40, {0, 2}};
  }
  return {"realistic", 5 * MIB, {4 * KIB, 56 * KIB}, {8 * KIB, 40 * KIB}, {20 * KIB, 60 * KIB}, 40,
          {4 * KIB, 56 * KIB}, {8 * KIB, 40 * KIB}, 5 * MIB / 2,
          2 * MIB, 3 * MIB, 1 * MIB, 20 * MIB, 1 * MIB, 256 * KIB, {50, 400}, 200, {0, 8}};
}

// ---- Deterministic bytes -----------------------------------------------------------------------

// SplitMix64: tiny, fast and the same on every platform. Each file draws from its own stream, so
// a change to one file's size leaves every other file as it was.
struct Rng {
  uint64_t state;

  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint64_t in(Range range) { return range.low + next() % (range.high - range.low + 1); }
  uint64_t below(uint64_t bound) { return next() % bound; }
};

Rng stream(uint64_t seed, std::string_view label) {
  uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a
  for (unsigned char c : label) hash = (hash ^ c) * 0x100000001B3ull;
  Rng rng{seed ^ hash};
  rng.next();
  return rng;
}

std::string random_bytes(Rng& rng, uint64_t size, std::string_view magic = {}) {
  std::string bytes(magic);
  bytes.reserve(size);
  while (bytes.size() + 8 <= size) {
    uint64_t word = rng.next();
    for (int i = 0; i < 8; ++i) bytes += static_cast<char>(word >> (8 * i));
  }
  while (bytes.size() < size) bytes += static_cast<char>(rng.next());
  bytes.resize(size);
  return bytes;
}

std::array<uint8_t, 32> raw_sha256(std::string_view bytes) {
  Sha256 hasher;
  hasher.reset();
  hasher.update(bytes.data(), bytes.size());
  return hasher.finish();
}

std::string read_file(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw PatchError(file.string() + ": cannot be read");
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_file(const fs::path& file, std::string_view bytes) {
  fs::create_directories(file.parent_path());
  FILE* out = std::fopen(file.c_str(), "wbx");
  if (out == nullptr) throw PatchError(file.string() + ": cannot be created");
  bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  written = std::fclose(out) == 0 && written;
  if (!written) throw PatchError(file.string() + ": cannot be written");
}

// ---- Names -------------------------------------------------------------------------------------

std::string numbered(const char* format, int n) {
  char name[32];
  std::snprintf(name, sizeof name, format, n);
  return name;
}

// The 511 scripts of the save table, in byte order.
std::vector<std::string> script_names() {
  std::vector<std::string> names;
  for (int i = 1; i <= 420; ++i) names.push_back(numbered("s%03d", i));
  for (int i = 1; i <= 40; ++i) names.push_back(numbered("ev_h%02d", i));
  for (int i = 1; i <= 20; ++i) names.push_back(numbered("omake_%02d", i));
  for (int i = 1; i <= 30; ++i) names.push_back(numbered("ed_%02d", i));
  names.push_back("title");
  std::sort(names.begin(), names.end());
  return names;
}

std::string upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

// 203 system graphics: with the 300 translated scripts, the package's 503 resources.
std::vector<std::string> graphic_names() {
  std::vector<std::string> names;
  for (int i = 1; i <= 120; ++i) names.push_back(numbered("BTN_%03d.png", i));
  for (int i = 1; i <= 60; ++i) names.push_back(numbered("MENU_%02d.png", i));
  for (int i = 1; i <= 16; ++i) names.push_back(numbered("ICON_%02d.png", i));
  for (int i = 0; i <= 3; ++i) names.push_back(numbered("TITLE_%02d.png", i));
  for (const char* name : {"CONFIG_BG.png", "LOAD_BG.png", "SAVE_BG.png"}) names.push_back(name);
  return names;
}

bool is_large_graphic(const std::string& name) {
  return name.rfind("TITLE_", 0) == 0 || name.find("_BG.") != std::string::npos;
}

// The scripts that the demo patch translates: a seed-dependent choice of 300 of the 511.
std::vector<bool> translated_choice(uint64_t seed, std::size_t count) {
  std::vector<std::size_t> order(count);
  for (std::size_t i = 0; i < count; ++i) order[i] = i;
  Rng rng = stream(seed, "translated-choice");
  for (std::size_t i = count - 1; i > 0; --i) std::swap(order[i], order[rng.below(i + 1)]);
  std::vector<bool> chosen(count, false);
  for (std::size_t i = 0; i < TRANSLATED_SCRIPT_COUNT; ++i) chosen[order[i]] = true;
  return chosen;
}

// ---- Contents ----------------------------------------------------------------------------------

constexpr std::array<std::string_view, 6> SPEAKERS = {"旁白", "少年", "少女", "老师", "店主", "学姐"};
constexpr std::array<std::string_view, 12> CHINESE_LINES = {
    "今天的天气真好。", "我们走吧。", "你还记得那天吗？", "……嗯。", "谢谢你。", "明天见。",
    "这里是哪里？", "不要紧，我在这里。", "雨停了呢。", "再等一会儿吧。", "原来如此。", "一起回家吧。"};
constexpr std::array<std::string_view, 8> JAPANESE_LINES = {
    "「おはよう」", "……うん。", "ありがとう。", "また明日。", "ここはどこ？", "大丈夫だよ。", "雨、止んだね。",
    "一緒に帰ろう。"};

std::string translated_script(Rng& rng, const std::string& name, uint64_t size) {
  std::string text = "; " + name + " - demo translation\n";
  for (;;) {
    std::string line = "【" + std::string(SPEAKERS[rng.below(SPEAKERS.size())]) + "】" +
                       std::string(CHINESE_LINES[rng.below(CHINESE_LINES.size())]) + "\n";
    if (text.size() + line.size() > size) break;
    text += line;
  }
  return text;
}

std::string game_script(Rng& rng, uint64_t size) { return random_bytes(rng, size, "MES\x1A"); }

std::string hook_ini() {
  std::u16string text =
      u"; Settings of the in-game runtime.\r\n"
      u"; toggle_key: the letter (A-Y) of the key that shows the source text while it is held.\r\n"
      u"[hud]\r\n"
      u"toggle_key=X\r\n";
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

std::string synthetic_zdh_exe(uint64_t seed, const Profile& profile) {
  Rng rng = stream(seed, "ZDH.EXE");
  std::string bytes = random_bytes(rng, profile.zdh_exe, "MZ");
  // The user's own game never carries the fixes; make sure the synthetic one does not either.
  for (const LaunchFix& fix : LAUNCH_FIX_TABLE) bytes[fix.offset] = static_cast<char>(fix.value ^ 0x5A);
  return bytes;
}

// A given program (the stand-in game) keeps its bytes and gets zero bytes appended up to the
// profile's length, so that the fixes fall into padding that its loader never maps.
std::string padded_zdh_exe(const fs::path& given, const Profile& profile) {
  std::string bytes = read_file(given);
  if (bytes.size() > LAUNCH_COPY_READ_LIMIT)
    throw PatchError(given.string() + ": is larger than the " + std::to_string(LAUNCH_COPY_READ_LIMIT) +
                     " bytes the installer reads");
  for (const LaunchFix& fix : LAUNCH_FIX_TABLE)
    if (fix.offset < bytes.size())
      std::fprintf(stderr, "vanro-demo: note: %s reaches the byte-fix offset 0x%X; the launch copy changes it\n",
                   given.string().c_str(), static_cast<unsigned>(fix.offset));
  if (bytes.size() < profile.zdh_exe) bytes.resize(profile.zdh_exe, '\0');
  return bytes;
}

// ---- Save compatibility table ------------------------------------------------------------------

void append_u32(std::string& out, uint64_t value) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>(value >> (8 * i));
}

void append_text(std::string& out, std::string_view text) {
  append_u32(out, text.size());
  out += text;
}

void append_digest(std::string& out, const std::array<uint8_t, 32>& digest) {
  out.append(reinterpret_cast<const char*>(digest.data()), digest.size());
}

struct ScriptFacts {
  std::string name;
  std::string game_bytes;
  std::optional<std::string> translated_bytes;
};

// One record: a chain of tokens over both texts, anchors on some 106/107/109 tokens, a few blocks.
// The title script has no tokens at all, the one shape of an empty record the parser accepts.
void append_save_record(std::string& out, uint64_t seed, const Profile& profile, const ScriptFacts& facts) {
  Rng rng = stream(seed, "save-table/" + facts.name);
  std::size_t token_count = facts.name == "title" ? 0 : rng.in(profile.tokens);
  std::string tokens, anchors, blocks;
  std::vector<uint32_t> opcodes;
  uint64_t first = 3, second = 3;
  for (std::size_t i = 0; i < token_count; ++i) {
    uint64_t first_end = first + 1 + rng.below(profile.token_length);
    uint64_t second_end = second + 1 + rng.below(profile.token_length);
    uint32_t opcode = rng.below(4) == 0 ? std::array<uint32_t, 3>{106, 107, 109}[rng.below(3)]
                                        : static_cast<uint32_t>(rng.below(256));
    for (uint64_t value : {first, first_end, second, second_end, uint64_t{opcode}}) append_u32(tokens, value);
    opcodes.push_back(opcode);
    first = first_end;
    second = second_end;
  }
  std::size_t anchor_count = 0;
  for (std::size_t i = 0; i < token_count; ++i) {
    bool anchorable = opcodes[i] == 106 || opcodes[i] == 107 || opcodes[i] == 109;
    if (!anchorable || rng.below(2) != 0) continue;
    append_u32(anchors, i);
    append_text(anchors, JAPANESE_LINES[rng.below(JAPANESE_LINES.size())]);
    append_text(anchors, CHINESE_LINES[rng.below(CHINESE_LINES.size())]);
    ++anchor_count;
  }
  std::size_t block_count = token_count == 0 ? 0 : rng.in(profile.blocks);
  for (std::size_t i = 0; i < block_count; ++i) {
    append_u32(blocks, rng.below(token_count));
    append_u32(blocks, rng.below(2) == 0 ? 0 : 0x80000000u);
    append_u32(blocks, rng.below(65536));
  }

  const std::string& translated = facts.translated_bytes ? *facts.translated_bytes : facts.game_bytes;
  append_text(out, facts.name);
  for (uint64_t bound : {uint64_t{facts.game_bytes.size()}, uint64_t{translated.size()}, first, second})
    append_u32(out, bound);
  append_digest(out, raw_sha256(facts.game_bytes));
  append_digest(out, raw_sha256(translated));  // digest2: what the installer checks
  append_digest(out, raw_sha256(tokens));
  append_digest(out, raw_sha256(anchors + blocks));
  append_u32(out, token_count);
  out += tokens;
  append_u32(out, anchor_count);
  out += anchors;
  append_u32(out, block_count);
  out += blocks;
}

std::string save_table(uint64_t seed, const Profile& profile, const std::vector<ScriptFacts>& scripts) {
  std::string table = "ZDHSV001";
  append_u32(table, scripts.size());
  for (const ScriptFacts& facts : scripts) append_save_record(table, seed, profile, facts);
  return table;
}

// ---- The three folders -------------------------------------------------------------------------

std::string given_or_placeholder(const fs::path& given, uint64_t seed, std::string_view label, uint64_t size) {
  if (!given.empty()) return read_file(given);
  Rng rng = stream(seed, label);
  return random_bytes(rng, size, "MZ");
}

void write_game_and_input(const DemoOptions& options, const Profile& profile) {
  const uint64_t seed = options.seed;
  fs::path game = options.out / "game", input = options.out / "input";
  fs::path patch_dir = input / "_vanro/patch/AdvData";

  write_file(game / "ZDH.EXE",
             options.zdh_exe.empty() ? synthetic_zdh_exe(seed, profile) : padded_zdh_exe(options.zdh_exe, profile));

  std::vector<std::string> names = script_names();
  std::vector<bool> translated = translated_choice(seed, names.size());
  std::vector<ScriptFacts> scripts;
  for (std::size_t i = 0; i < names.size(); ++i) {
    ScriptFacts facts{names[i], {}, std::nullopt};
    Rng game_rng = stream(seed, "game/MES/" + names[i]);
    facts.game_bytes = game_script(game_rng, game_rng.in(profile.game_script));
    // The installer looks for the game's script as the table's name followed by ".MES". Windows
    // finds S001.MES under that name; a Linux file system would not, so the demo game uses the
    // exact name and runs the same natively and under Wine. The translated scripts are upper
    // case, as they are matched to their records without regard to case.
    write_file(game / "AdvData/MES" / (names[i] + ".MES"), facts.game_bytes);
    if (translated[i]) {
      Rng rng = stream(seed, "input/MES/" + names[i]);
      facts.translated_bytes = translated_script(rng, names[i], rng.in(profile.translated_script));
      write_file(patch_dir / "MES" / (upper(names[i]) + ".MES"), *facts.translated_bytes);
    }
    scripts.push_back(std::move(facts));
  }

  for (const std::string& name : graphic_names()) {
    Rng game_rng = stream(seed, "game/GRP/" + name);
    write_file(game / "AdvData/GRP/SYSTEM" / name,
               random_bytes(game_rng, game_rng.in(profile.game_graphic), "\x89PNG\r\n\x1A\n"));
    Rng rng = stream(seed, "input/GRP/" + name);
    uint64_t size = is_large_graphic(name) ? profile.large_graphic : rng.in(profile.graphic);
    write_file(patch_dir / "GRP/SYSTEM" / name, random_bytes(rng, size, "\x89PNG\r\n\x1A\n"));
  }
  for (std::size_t i = 1; i <= profile.sounds; ++i) {
    std::string name = numbered("SE_%03d.ogg", static_cast<int>(i));
    Rng rng = stream(seed, "game/SE/" + name);
    write_file(game / "AdvData/SE" / name, random_bytes(rng, rng.in(profile.sound), "OggS"));
  }

  fs::path vanro = input / "_vanro";
  Rng characters = stream(seed, "characters.bin"), japanese = stream(seed, "japanese.bin"),
      emphasis = stream(seed, "japanese-emphasis.bin"), font = stream(seed, "font");
  write_file(vanro / "characters.bin", random_bytes(characters, profile.characters, "VCHR"));
  write_file(vanro / "japanese.bin", random_bytes(japanese, profile.japanese, "VJPN"));
  write_file(vanro / "japanese-emphasis.bin", random_bytes(emphasis, profile.emphasis, "VJPE"));
  write_file(vanro / "save-offsets.bin", save_table(seed, profile, scripts));
  write_file(vanro / "hook.ini", hook_ini());
  write_file(vanro / "sarasa-gothic-sc-bold.ttf", random_bytes(font, profile.font, std::string_view("\0\1\0\0", 4)));
  write_file(vanro / "FONT-LICENSE.txt",
             "Demo font licence\n\nThis file stands in for the licence text of the display font in the demo "
             "package.\nThe demo font is made of generated bytes and is not a usable font.\n");
  write_file(vanro / "runtime/winmm.dll",
             given_or_placeholder(options.runtime_dll, seed, "winmm.dll", profile.runtime_dll));
  write_file(input / "VANROLauncher.exe",
             given_or_placeholder(options.launcher, seed, "VANROLauncher.exe", profile.launcher));
}

// What the installer will check against the game: the save table against its scripts, and a
// launch copy that can be made from its ZDH.EXE.
void check_demo(const fs::path& out) {
  std::u16string game = utf8_to_wide((out / "game").string());
  std::u16string package = utf8_to_wide((out / "package").string());
  PatchManifest manifest = read_patch_manifest(package);
  check_save_compat(game, utf8_to_wide((out / "package/patch").string()), manifest);
  if (!has_launch_fixes(build_launch_copy(utf8_to_wide((out / "game/ZDH.EXE").string()))))
    throw PatchError("the launch copy of the demo's ZDH.EXE lacks its fixes");
  reported_file.clear();
}

// ---- The stamp and the lock --------------------------------------------------------------------

std::string digest_or_dash(const fs::path& file) { return file.empty() ? "-" : sha256_hex(read_file(file)); }

// Everything the output depends on. The generator's own digest stands for its code, so a rebuilt
// tool that writes differently never takes an old demo for its own.
std::string stamp_text(const DemoOptions& options, const Profile& profile) {
  return "vanro-demo 1\ngenerator " + digest_or_dash("/proc/self/exe") + "\nprofile " + profile.name +
         "\nseed " + std::to_string(options.seed) + "\nzdh-exe " + digest_or_dash(options.zdh_exe) +
         "\nlauncher " + digest_or_dash(options.launcher) + "\ninstaller " + digest_or_dash(options.installer) +
         "\nruntime-dll " + digest_or_dash(options.runtime_dll) + "\nkey " + digest_or_dash(options.key) + "\n";
}

struct FolderLock {
  int fd;
  explicit FolderLock(const fs::path& file) : fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) throw PatchError(file.string() + ": cannot be locked");
  }
  ~FolderLock() { ::close(fd); }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
};

// Clears an earlier demo (recognised by its stamp) and nothing else.
void prepare_out(const fs::path& out) {
  bool has_stamp = fs::exists(out / STAMP_NAME);
  if (has_stamp)
    for (const char* part : {"game", "input", "package"}) fs::remove_all(out / part);
  for (const fs::directory_entry& entry : fs::directory_iterator(out)) {
    std::string name = entry.path().filename().string();
    if (name != STAMP_NAME && name != LOCK_NAME)
      throw PatchError(out.string() + ": is not empty and holds no earlier demo; choose an empty folder");
  }
  // A run that dies from here on leaves this stamp, which no options match: the next run redoes it.
  std::ofstream(out / STAMP_NAME, std::ios::binary | std::ios::trunc) << "incomplete\n";
}

DemoSummary count_files(const fs::path& out) {
  DemoSummary summary;
  for (const char* part : {"game", "input", "package"})
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(out / part))
      if (entry.is_regular_file()) {
        ++summary.files;
        summary.bytes += entry.file_size();
      }
  return summary;
}

}  // namespace

DemoSummary make_demo(const DemoOptions& given) {
  DemoOptions options = given;
  options.out = fs::absolute(options.out).lexically_normal();
  if (options.key.empty()) options.key = VANRO_TEST_KEY_PEM;
  const Profile profile = profile_of(options.profile);
  fs::create_directories(options.out);
  FolderLock lock(options.out / LOCK_NAME);

  std::string stamp = stamp_text(options, profile);
  if (fs::exists(options.out / STAMP_NAME) && read_file(options.out / STAMP_NAME) == stamp) {
    DemoSummary summary = count_files(options.out);
    summary.up_to_date = true;
    return summary;
  }
  prepare_out(options.out);
  write_game_and_input(options, profile);
  pack_package(options.out / "input", options.key, options.out / "package");
  if (!options.installer.empty()) {
    fs::path installer = options.out / "package/VANROInstaller.exe";
    fs::copy_file(options.installer, installer, fs::copy_options::none);
    fs::permissions(installer, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                   fs::perms::others_read | fs::perms::others_exec);
  }
  check_demo(options.out);

  fs::path stamp_file = options.out / STAMP_NAME;
  fs::remove(stamp_file);
  write_file(stamp_file, stamp);
  return count_files(options.out);
}

std::size_t make_game_for(const fs::path& patch_tree, const fs::path& out) {
  fs::path table_file = patch_tree / "_vanro/save-offsets.bin";
  std::string bytes = read_file(table_file);
  SaveCompatTable table;
  try {
    table = parse_save_compat_table(bytes);
  } catch (const PatchError& error) {
    throw PatchError(table_file.string() + ": " + error.what());
  }
  if (fs::exists(out) && !fs::is_empty(out)) throw PatchError(out.string() + ": exists and is not empty");
  const Profile profile = profile_of(DemoProfile::small);
  write_file(out / "ZDH.EXE", synthetic_zdh_exe(0, profile));
  for (const auto& [name, script] : table) {
    Rng rng = stream(0, "game/MES/" + name);
    write_file(out / "AdvData/MES" / (name + ".MES"), game_script(rng, rng.in(profile.game_script)));
  }
  return table.size();
}
