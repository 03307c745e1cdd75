// The signed core file list, _vanro/core-files.tsv, its signature _vanro/core-files.sig, and the
// coverage check that ties it to manifest or install state records.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "package/manifest.h"

// Path (bytes as written) to digest (64-character text), exactly 511 entries.
using CoreFileList = std::map<std::string, std::string>;

inline constexpr std::size_t CORE_LIST_LIMIT = 262144;
inline constexpr std::size_t CORE_RECORD_COUNT = 511;

CoreFileList verify_core_signature(const std::u16string& base);
CoreFileList parse_core_file_list(const std::string& bytes);
void check_component_signature(const std::u16string& base, const std::vector<ManifestRecord>& records);
