// The patch manifest, patch-manifest.tsv, and the record line format it shares with the install state.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "integrity/sha256.h"

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
std::vector<ManifestRecord> parse_manifest_records(const std::vector<std::string>& lines, std::size_t first,
                                                   RecordMode mode);
// The record lines as parse_manifest_records reads them: the three fields as they stand, TAB
// between them, each line ended by LF.
std::string format_manifest_records(const std::vector<ManifestRecord>& records);
// The whole of patch-manifest.tsv: the header line, then the records in the order given.
std::string format_patch_manifest(const std::vector<ManifestRecord>& records);
