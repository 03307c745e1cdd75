// Patch manifests built in memory: a valid record set that a test changes in one place.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "package/manifest.h"

// 64 lower-case hex characters, different for every n.
std::string fake_digest(std::size_t n);
// The twelve fixed targets, the launch copy last.
std::vector<std::string> fixed_manifest_paths();
// 515 valid records: 400 translated scripts _vanro/patch/AdvData/MES/m000.mes ..., 103 system
// graphics _vanro/patch/AdvData/GRP/SYSTEM/g000.png ..., then the twelve fixed files. The launch
// copy record says "generated" in manifest mode and carries a digest in install state mode.
std::vector<ManifestRecord> valid_manifest_records(RecordMode mode = RecordMode::manifest);
std::string manifest_line(const ManifestRecord& record);
// The header line, then one line per record, each ended by `line_end`.
std::string manifest_text(const std::vector<ManifestRecord>& records, std::string_view line_end = "\n",
                          std::string_view header = "VANROPATCH04");
