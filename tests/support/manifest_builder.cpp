#include "tests/support/manifest_builder.h"

#include <cstdio>

std::string fake_digest(std::size_t n) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string hex(64, '0');
  unsigned long long x = n * 0x9E3779B97F4A7C15ull + 1;
  for (char& c : hex) {
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    c = digits[(x >> 60) & 0xF];
  }
  return hex;
}

std::vector<std::string> fixed_manifest_paths() {
  return {"_vanro/characters.bin",     "_vanro/japanese.bin",
          "_vanro/japanese-emphasis.bin", "_vanro/save-offsets.bin",
          "_vanro/hook.ini",           "_vanro/sarasa-gothic-sc-bold.ttf",
          "_vanro/FONT-LICENSE.txt",   "_vanro/core-files.tsv",
          "_vanro/core-files.sig",     "_vanro/runtime/winmm.dll",
          "VANROLauncher.exe",         "_vanro/runtime/VANROGame.exe"};
}

std::vector<ManifestRecord> valid_manifest_records(RecordMode mode) {
  std::vector<ManifestRecord> records;
  char name[64];
  for (unsigned i = 0; i < 400; ++i) {
    std::snprintf(name, sizeof name, "_vanro/patch/AdvData/MES/m%03u.mes", i);
    records.push_back({name, "-", fake_digest(records.size())});
  }
  for (unsigned i = 0; i < 103; ++i) {
    std::snprintf(name, sizeof name, "_vanro/patch/AdvData/GRP/SYSTEM/g%03u.png", i);
    records.push_back({name, "-", fake_digest(records.size())});
  }
  for (const std::string& path : fixed_manifest_paths()) {
    records.push_back({path, "-", fake_digest(records.size())});
  }
  if (mode == RecordMode::manifest) records.back().sha256 = "generated";
  return records;
}

std::string manifest_line(const ManifestRecord& record) {
  return record.path + "\t" + record.replaced_sha256 + "\t" + record.sha256;
}

std::string manifest_text(const std::vector<ManifestRecord>& records, std::string_view line_end,
                          std::string_view header) {
  std::string text(header);
  text += line_end;
  for (const ManifestRecord& record : records) {
    text += manifest_line(record);
    text += line_end;
  }
  return text;
}
