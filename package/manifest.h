// The patch manifest, patch-manifest.tsv, and the record line format it shares with the install state.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct ManifestRecord {
  std::string path;             // relative, UTF-8, '/' separators
  std::string replaced_sha256;  // always "-"
  std::string sha256;           // 64 lower-case hex characters, or "generated" for the launch copy in a manifest
};
using PatchManifest = std::vector<ManifestRecord>;

enum class RecordMode { manifest, install_state };

inline constexpr std::size_t MANIFEST_LIMIT = 2097152;
inline constexpr std::size_t MANIFEST_RECORD_COUNT = 515;
inline constexpr std::size_t MANIFEST_RESOURCE_COUNT = 503;

PatchManifest read_patch_manifest(const std::u16string& installer_dir);
std::vector<std::string> split_lines(const std::string& bytes);
std::vector<std::string> split_fields(const std::string& line);
bool is_hex_digest(std::string_view text);
std::vector<ManifestRecord> parse_manifest_records(const std::vector<std::string>& lines, std::size_t first,
                                                   RecordMode mode);
