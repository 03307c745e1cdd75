// vanro-pack's work: check the input as the installer will, write the package, read it back.
//
// The package folder:
//   patch-manifest.tsv   "VANROPATCH04", then 515 records "path<TAB>-<TAB>sha256", LF line ends,
//                        sorted by path byte-wise; the launch copy's record says "generated".
//   patch/...            every input file at its relative path, plus
//   patch/_vanro/core-files.tsv  "VANROAUTH01", then the 511 covered records "path<TAB>sha256",
//                        sorted by path byte-wise (all files but hook.ini and the two below)
//   patch/_vanro/core-files.sig  64 bytes r||s, ECDSA P-256 over the SHA-256 of core-files.tsv
// The installer program itself is not part of it; whoever ships the package puts it beside the
// manifest.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "common/file_io.h"
#include "common/launch_copy.h"
#include "common/patch_error.h"
#include "common/path.h"
#include "common/path_safety.h"
#include "common/platform.h"
#include "common/profile.h"
#include "common/text.h"
#include "installer/entry.h"
#include "integrity/core_list.h"
#include "integrity/sha256.h"
#include "package/component_signature.h"
#include "package/manifest.h"
#include "package/save_table.h"
#include "tools/pack/pack.h"

namespace {

namespace fs = std::filesystem;

// The key this build's installer carries (test key or VANRO_PUBLIC_KEY_HEX).
constexpr std::string_view RESOURCE_PREFIX = "_vanro/patch/AdvData/";
constexpr std::string_view MES_PREFIX = "_vanro/patch/AdvData/MES/";
constexpr std::string_view GRP_PREFIX = "_vanro/patch/AdvData/GRP/SYSTEM/";
constexpr std::string_view HOOK_INI = "_vanro/hook.ini";
constexpr std::string_view SAVE_TABLE = "_vanro/save-offsets.bin";
constexpr std::string_view CORE_LIST = CORE_LIST_PATH;
constexpr std::string_view CORE_SIGNATURE = CORE_SIGNATURE_PATH;

// The fixed files a maintainer supplies. The other three fixed records are made here (the core list
// and its signature) or on the user's machine (the launch copy).
constexpr std::array<std::string_view, 9> SUPPLIED_FIXED_FILES = {
    "VANROLauncher.exe",      "_vanro/FONT-LICENSE.txt",  "_vanro/characters.bin",
    "_vanro/hook.ini",        "_vanro/japanese-emphasis.bin", "_vanro/japanese.bin",
    "_vanro/runtime/winmm.dll", "_vanro/sarasa-gothic-sc-bold.ttf", "_vanro/save-offsets.bin"};

struct InputFile {
  std::string path;  // relative, '/' separators, as it will stand in the manifest
  fs::path source;
  uint64_t size = 0;
  std::string sha256;
};

using Problems = std::vector<std::string>;


bool starts_with_longer(std::string_view path, std::string_view prefix) {
  return path.size() > prefix.size() && path.substr(0, prefix.size()) == prefix;
}

bool is_supplied_fixed_file(std::string_view path) {
  return std::find(SUPPLIED_FIXED_FILES.begin(), SUPPLIED_FIXED_FILES.end(), path) != SUPPLIED_FIXED_FILES.end();
}

bool is_resource(std::string_view path) {
  return starts_with_longer(path, MES_PREFIX) || starts_with_longer(path, GRP_PREFIX);
}

bool is_valid_utf8(std::string_view text) {
  std::u16string wide;
  return platform::utf8_to_utf16(text, wide);
}

// A name as the terminal can show it: bytes that are not valid UTF-8 become \xNN.
std::string printable(const std::string& path) {
  if (is_valid_utf8(path)) return path;
  std::string shown;
  char escape[8];
  for (unsigned char c : path) {
    if (c < 0x80) {
      shown += static_cast<char>(c);
    } else {
      std::snprintf(escape, sizeof escape, "\\x%02X", c);
      shown += escape;
    }
  }
  return shown;
}

std::string read_file_bytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) throw PatchError(file.string() + ": cannot be read");
  return bytes;
}

// ---- Output folder -----------------------------------------------------------------------------

void check_output_folder(const fs::path& input, const fs::path& out) {
  std::error_code error;
  fs::file_status status = fs::symlink_status(out, error);
  if (fs::exists(status)) {
    if (!fs::is_directory(status)) throw PatchError(out.string() + ": exists and is not a folder");
    if (!fs::is_empty(out)) throw PatchError(out.string() + ": exists and is not empty; vanro-pack writes a fresh package folder");
  }
  fs::path input_full = fs::weakly_canonical(input);
  fs::path out_full = fs::weakly_canonical(out);
  auto [end, unused] = std::mismatch(input_full.begin(), input_full.end(), out_full.begin(), out_full.end());
  if (end == input_full.end())
    throw PatchError(out.string() + ": lies inside the input folder; the package would become part of the next input");
}

// ---- Input files -------------------------------------------------------------------------------

std::vector<InputFile> collect_input_files(const fs::path& input, Problems& problems) {
  if (!fs::is_directory(input)) throw PatchError(input.string() + ": is not a folder");
  std::vector<InputFile> files;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(input)) {
    std::string path = entry.path().lexically_relative(input).generic_string();
    fs::file_status status = entry.symlink_status();
    if (fs::is_symlink(status)) {
      problems.push_back(printable(path) + ": is a symbolic link; the package may hold plain files only");
    } else if (fs::is_regular_file(status)) {
      files.push_back({path, entry.path(), entry.file_size(), {}});
    } else if (!fs::is_directory(status)) {
      problems.push_back(printable(path) + ": is not a plain file");
    }
  }
  std::sort(files.begin(), files.end(), [](const InputFile& a, const InputFile& b) { return a.path < b.path; });
  return files;
}

void check_path(const InputFile& file, Problems& problems) {
  const std::string& path = file.path;
  std::string shown = printable(path);
  std::string folded = ascii_lower(path);
  if (!is_valid_utf8(path)) {
    problems.push_back(shown + ": the name is not valid UTF-8");
  } else if (folded == ascii_lower(LAUNCH_COPY_PATH)) {
    problems.push_back(shown + ": is the launch copy; it is made from the user's own ZDH.EXE, and the installer "
                               "refuses a package that carries one");
  } else if (folded == CORE_LIST || folded == CORE_SIGNATURE) {
    problems.push_back(shown + ": is written by vanro-pack; remove it from the input");
  } else if (!is_safe_relative_path(path)) {
    problems.push_back(shown + ": unsafe path; the installer refuses it (no '\\', ':', control characters, "
                               "<>\"|?*, empty, '.' or '..' elements, or names ending in a dot or a space)");
  } else if (names_a_device(path)) {
    problems.push_back(shown + ": names a device (CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$); the installer "
                               "refuses it");
  } else if (ends_with_staging_suffix(path)) {
    problems.push_back(shown + ": ends like the installer's staging files (.vanro-new); the installer refuses it");
  } else if (!is_safe_core_path(path)) {
    problems.push_back(shown + ": the signed core list refuses this path (ASCII letters, digits, '_', '.', "
                               "'-' only; at most 240 bytes; no element ending in a dot; no device names "
                               "such as CON or COM1)");
  } else if (!is_resource(path) && !is_supplied_fixed_file(path)) {
    auto same_but_case = std::find_if(SUPPLIED_FIXED_FILES.begin(), SUPPLIED_FIXED_FILES.end(),
                                      [&](std::string_view fixed) { return ascii_lower(fixed) == folded; });
    if (same_but_case != SUPPLIED_FIXED_FILES.end())
      problems.push_back(shown + ": must be named exactly " + std::string(*same_but_case));
    else
      problems.push_back(shown + ": not a file the patch may install; allowed are " + std::string(MES_PREFIX) +
                         "*, " + std::string(GRP_PREFIX) + "* and the fixed files");
  } else if (file.size > FILE_HASH_LIMIT) {
    problems.push_back(shown + ": is " + std::to_string(file.size) + " bytes; the installer hashes files of at most " +
                       std::to_string(FILE_HASH_LIMIT) + " bytes");
  }
}

// The installer folds with the platform's full Unicode lower-case mapping; on Windows the names
// also meet on a case-insensitive file system.
void check_duplicates(const std::vector<InputFile>& files, Problems& problems) {
  std::map<std::u16string, std::string> seen, folders;
  for (const InputFile& file : files) {
    std::u16string wide;
    if (!platform::utf8_to_utf16(file.path, wide)) continue;
    std::u16string folded = platform::lower_case(wide);
    auto [at, inserted] = seen.emplace(folded, file.path);
    if (!inserted) problems.push_back(file.path + ": same name as " + at->second + " when letter case is ignored");
    for (std::size_t slash = folded.find(u'/'); slash != std::u16string::npos; slash = folded.find(u'/', slash + 1))
      folders.emplace(folded.substr(0, slash), file.path);
  }
  for (const auto& [folded, path] : seen)
    if (auto folder = folders.find(folded); folder != folders.end())
      problems.push_back(path + ": same name as a folder of " + folder->second + " when letter case is ignored");
}

// Returns whether the resources are as many as a package holds.
bool check_counts(const std::vector<InputFile>& files, Problems& problems) {
  std::size_t resources = 0;
  std::set<std::string_view> present;
  for (const InputFile& file : files) {
    if (file.path.compare(0, RESOURCE_PREFIX.size(), RESOURCE_PREFIX) == 0) ++resources;
    present.insert(file.path);
  }
  if (resources != MANIFEST_RESOURCE_COUNT)
    problems.push_back("input: " + std::to_string(resources) + " files under " + std::string(RESOURCE_PREFIX) +
                       "; a package holds exactly " + std::to_string(MANIFEST_RESOURCE_COUNT) + " resources");
  for (std::string_view fixed : SUPPLIED_FIXED_FILES)
    if (!present.count(fixed)) problems.push_back(std::string(fixed) + ": missing; every package holds it");
  return resources == MANIFEST_RESOURCE_COUNT;
}

const InputFile* find_file(const std::vector<InputFile>& files, std::string_view path) {
  for (const InputFile& file : files)
    if (file.path == path) return &file;
  return nullptr;
}

// ---- hook.ini ----------------------------------------------------------------------------------

void check_hook_ini(const InputFile& file, Problems& problems) {
  std::string bytes = read_file_bytes(file.source);
  std::string shown = file.path + ": ";
  if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF || static_cast<unsigned char>(bytes[1]) != 0xFE ||
      bytes.size() % 2 != 0) {
    problems.push_back(shown + "must be UTF-16 LE with the byte-order mark FF FE (the profile functions read "
                               "other files as ANSI)");
    return;
  }
  std::u16string text = decode_profile(bytes).text;
  std::string utf8;
  if (!platform::utf16_to_utf8(text, utf8)) {
    problems.push_back(shown + "is not valid UTF-16");
    return;
  }
  std::vector<std::string> values;
  for (const std::u16string& value : profile_values(text, u"hud", u"toggle_key")) values.push_back(wide_to_utf8(value));
  if (values.empty()) {
    problems.push_back(shown + "has no toggle_key in section [hud]; the package must hold toggle_key=X");
  } else if (values.size() > 1) {
    problems.push_back(shown + "has toggle_key in section [hud] more than once; keep one, toggle_key=X");
  } else {
    std::optional<int> key = parse_hotkey_letter(utf8_to_wide_lossy(values[0]));
    if (!key || hotkey_text(*key) != u"X")
      problems.push_back(shown + "[hud] toggle_key is \"" + values[0] +
                         "\"; the package must hold the default X (the installer writes the user's choice)");
  }
}

// ---- Save compatibility table ------------------------------------------------------------------

// The installer matches a translated script to its record by the lower-cased path.
std::map<std::string, const SaveCompatScript*> records_by_path(const SaveCompatTable& table) {
  std::map<std::string, const SaveCompatScript*> records;
  for (const auto& [name, script] : table) records["_vanro/patch/advdata/mes/" + name + ".mes"] = &script;
  return records;
}

// Read with the names, not with the other contents: it tells which translated scripts belong in
// the tree. Nothing when it is missing (check_counts says so) or refused.
std::optional<SaveCompatTable> read_save_table(const std::vector<InputFile>& files, Problems& problems) {
  const InputFile* table_file = find_file(files, SAVE_TABLE);
  if (table_file == nullptr) return std::nullopt;
  std::string shown = table_file->path + ": ";
  if (table_file->size > SAVE_TABLE_LIMIT) {
    problems.push_back(shown + "is " + std::to_string(table_file->size) + " bytes; the installer reads at most " +
                       std::to_string(SAVE_TABLE_LIMIT));
    return std::nullopt;
  }
  try {
    return parse_save_compat_table(read_file_bytes(table_file->source));
  } catch (const PatchError& error) {
    problems.push_back(shown + error.what());
    return std::nullopt;
  }
}

// Every translated script needs a record. When the resources are not as many as a package holds,
// the table also names the translated scripts the tree lacks: a record whose digest2 (the translated
// script's) differs from its digest1 (the game's own script's) was made for one.
void check_scripts_in_table(const std::vector<InputFile>& files, const SaveCompatTable& table, bool counted_right,
                            Problems& problems) {
  std::map<std::string, const SaveCompatScript*> records = records_by_path(table);
  std::set<std::string> present;
  for (const InputFile& file : files) {
    if (!starts_with_longer(file.path, MES_PREFIX)) continue;
    std::string key = ascii_lower(file.path);
    present.insert(key);
    if (!records.count(key))
      problems.push_back(file.path + ": no record of this script in " + std::string(SAVE_TABLE) +
                         "; the installer refuses a translated script without one");
  }
  if (counted_right) return;
  for (const auto& [path, script] : records)
    if (script->digest2 != script->digest1 && !present.count(path))
      problems.push_back(std::string(MES_PREFIX) + script->name + ".MES: missing; record \"" + script->name + "\" in " +
                         std::string(SAVE_TABLE) + " was made for this translated script (in any letter case)");
}

void check_script_digests(const std::vector<InputFile>& files, const SaveCompatTable& table, Problems& problems) {
  std::map<std::string, const SaveCompatScript*> records = records_by_path(table);
  for (const InputFile& file : files) {
    if (!starts_with_longer(file.path, MES_PREFIX)) continue;
    const SaveCompatScript& record = *records.at(ascii_lower(file.path));
    if (record.digest2 != file.sha256)
      problems.push_back(file.path + ": its SHA-256 " + file.sha256 + " differs from digest2 " + record.digest2 +
                         " of record \"" + record.name + "\" in " + std::string(SAVE_TABLE));
  }
}

void refuse_if_any(const Problems& problems) {
  if (problems.empty()) return;
  std::string message;
  for (const std::string& problem : problems) message += problem + "\n";
  message += "refused: " + std::to_string(problems.size()) + (problems.size() == 1 ? " problem" : " problems") +
             "; nothing was written";
  throw PatchError(message);
}

std::vector<InputFile> checked_input(const fs::path& input) {
  Problems problems;
  std::vector<InputFile> files = collect_input_files(input, problems);
  for (const InputFile& file : files) check_path(file, problems);
  check_duplicates(files, problems);
  bool counted_right = check_counts(files, problems);
  std::optional<SaveCompatTable> table = read_save_table(files, problems);
  if (table) check_scripts_in_table(files, *table, counted_right, problems);
  // The other contents are read only once every name is right, so a bad layout is reported at once.
  refuse_if_any(problems);

  for (InputFile& file : files) file.sha256 = sha256_hex(read_file_bytes(file.source));
  check_hook_ini(*find_file(files, HOOK_INI), problems);
  check_script_digests(files, *table, problems);
  refuse_if_any(problems);
  return files;
}

// ---- Writing -----------------------------------------------------------------------------------

void write_new(const fs::path& file, const std::string& bytes) {
  FILE* out = std::fopen(file.c_str(), "wbx");
  if (out == nullptr) throw PatchError(file.string() + ": cannot be created (does it exist already?)");
  bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  written = std::fflush(out) == 0 && written;
  written = ::fsync(::fileno(out)) == 0 && written;
  written = std::fclose(out) == 0 && written;
  if (!written) throw PatchError(file.string() + ": cannot be written");
}

std::string format_core_list(const std::vector<InputFile>& files) {
  CoreFileList list;
  for (const InputFile& file : files)
    if (file.path != HOOK_INI) list.emplace(file.path, file.sha256);
  return format_core_file_list(list);
}

std::array<uint8_t, 32> raw_sha256(const std::string& bytes) { return sha256_digest(bytes.data(), bytes.size()); }

uint64_t write_package(const std::vector<InputFile>& files, const fs::path& key_pem, const fs::path& out) {
  fs::create_directories(out);
  fs::path patch = out / "patch";
  fs::create_directory(patch);
  uint64_t bytes = 0;
  std::vector<ManifestRecord> records;
  for (const InputFile& file : files) {
    fs::path target = patch / file.path;
    fs::create_directories(target.parent_path());
    fs::copy_file(file.source, target, fs::copy_options::none);
    bytes += file.size;
    records.push_back({file.path, "-", file.sha256});
  }

  std::string list = format_core_list(files);
  std::array<uint8_t, 64> signature = sign_digest_deterministic(key_pem, raw_sha256(list));
  std::string signature_bytes(signature.begin(), signature.end());
  write_new(patch / CORE_LIST, list);
  write_new(patch / CORE_SIGNATURE, signature_bytes);
  records.push_back({std::string(CORE_LIST), "-", sha256_hex(list)});
  records.push_back({std::string(CORE_SIGNATURE), "-", sha256_hex(signature_bytes)});
  records.push_back({LAUNCH_COPY_PATH, "-", "generated"});
  // The manifest goes last: a package cut short by a failure has none, and no installer accepts it.
  std::sort(records.begin(), records.end(),
            [](const ManifestRecord& a, const ManifestRecord& b) { return a.path < b.path; });
  write_new(out / "patch-manifest.tsv", format_patch_manifest(records));
  return bytes + list.size() + signature_bytes.size();
}

// ---- Reading the package back with the installer's code ----------------------------------------

bool key_matches_build(const std::string& public_hex) { return embedded_public_key_hex() == public_hex; }

void check_written_package(const fs::path& out, const std::string& public_hex) {
  std::u16string package = utf8_to_wide(fs::absolute(out).lexically_normal().string());
  std::u16string patch = join_path(package, u"patch");
  PatchManifest manifest = read_patch_manifest(package);
  std::string list_bytes = read_whole_file(resolve_package_path(patch, CORE_LIST), CORE_LIST_LIMIT);
  CoreFileList list = parse_core_file_list(list_bytes);

  std::string signature = read_whole_file(resolve_package_path(patch, CORE_SIGNATURE), 64);
  if (signature.size() != 64) throw PatchError(std::string(CORE_SIGNATURE) + ": not 64 bytes");
  try {
    check_core_signature(list_bytes, signature, public_key_blob(public_hex));
  } catch (const PatchError& error) {
    throw PatchError(std::string(CORE_SIGNATURE) + ": does not verify with the key's public half (" + error.what() + ")");
  }
  if (key_matches_build(public_hex)) check_component_signature(patch, manifest);
  try {
    check_coverage(list, manifest);
  } catch (const PatchError& error) {
    throw PatchError(std::string("the manifest and the core list disagree: ") + error.what());
  }

  for (const ManifestRecord& record : manifest) {
    std::u16string file = resolve_package_path(patch, record.path);
    if (record.path == LAUNCH_COPY_PATH) {
      if (path_exists(file)) throw PatchError(record.path + ": must not be in the package");
    } else if (sha256_file_hex(file) != record.sha256) {
      throw PatchError(record.path + ": the written file differs from its manifest record");
    }
  }
  std::u16string hook = get_profile_string(u"hud", u"toggle_key", u"",
                                                     resolve_package_path(patch, HOOK_INI), 32);
  std::optional<int> key = parse_hotkey_letter(hook);
  if (!key || hotkey_text(*key) != u"X") throw PatchError(std::string(HOOK_INI) + ": the installer does not read toggle_key=X");
  parse_save_compat_table(read_whole_file(resolve_package_path(patch, SAVE_TABLE), SAVE_TABLE_LIMIT));
}

}  // namespace

std::size_t check_pack_input(const fs::path& input) { return checked_input(input).size(); }

PackSummary pack_package(const fs::path& input, const fs::path& key_pem, const fs::path& out) {
  PackSummary summary;
  summary.public_key_hex = public_key_hex(key_pem);
  summary.installer_key_matches = key_matches_build(summary.public_key_hex);
  check_output_folder(input, out);
  std::vector<InputFile> files = checked_input(input);

  summary.bytes = write_package(files, key_pem, out);
  reported_file.clear();
  try {
    check_written_package(out, summary.public_key_hex);
  } catch (const std::exception& error) {
    std::error_code ignored;
    fs::remove(out / "patch-manifest.tsv", ignored);
    std::string subject = reported_file.empty() ? "" : " (file: " + wide_to_utf8(reported_file) + ")";
    throw PatchError("self-check of the written package failed: " + std::string(error.what()) + subject +
                     "; its manifest was removed so that nobody installs it");
  }
  summary.records = MANIFEST_RECORD_COUNT;
  summary.covered = CORE_RECORD_COUNT;
  return summary;
}
