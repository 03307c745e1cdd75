// Writes the seed corpora of the fuzz targets: valid inputs and short valid-looking prefixes that
// the fuzzer mutates from. Deterministic, so regenerating them changes nothing.
//
//   make_fuzz_seeds <corpus folder>   writes <corpus folder>/<target>/<seed>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/manifest_builder.h"
#include "tests/support/save_table_writer.h"

namespace fs = std::filesystem;

namespace {

void write_seed(const fs::path& folder, const char* name, const std::string& bytes) {
  fs::create_directories(folder);
  std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

SaveCompatScript rich_script(const std::string& name) {
  SaveCompatScript script = minimal_save_script(name);
  script.bound1 = 1048576;
  script.bound2 = 7;
  script.tokens = {{3, 10, 3, 4, 106}, {10, 11, 4, 90, 255}, {11, 12, 90, 91, 109}, {12, 13, 91, 92, 107}};
  script.bound3 = 13;
  script.bound4 = 92;
  script.anchors = {{0, "first", ""}, {2, "\xe4\xbd\xa0", "x"}, {3, "", "y"}};
  script.blocks = {{2, 0x80000000, 65535}, {0, 0, 0}, {3, 0, 12}};
  return script;
}

void save_table_seeds(const fs::path& folder) {
  std::vector<SaveCompatScript> scripts = minimal_save_scripts();
  write_seed(folder, "valid-minimal", save_table_bytes(scripts));
  scripts[0] = rich_script("s000");
  scripts[255] = rich_script("s255");
  write_seed(folder, "valid-rich", save_table_bytes(scripts));

  std::string prefix = save_table_header(511);
  append_save_script(prefix, rich_script("a"));
  append_save_script(prefix, rich_script("b"));
  write_seed(folder, "prefix-rich", prefix);

  std::string hostile = save_table_header(511);
  SaveCompatScript script = minimal_save_script("c");
  append_save_script(hostile, script);
  hostile.resize(hostile.size() - 12);
  append_u32(hostile, 4000000000u);
  write_seed(folder, "prefix-hostile-count", hostile);
}

void manifest_seeds(const fs::path& folder) {
  // First byte: bit 0 install state mode, bit 1 skip the first line.
  const std::vector<ManifestRecord> manifest = valid_manifest_records(RecordMode::manifest);
  const std::vector<ManifestRecord> state = valid_manifest_records(RecordMode::install_state);
  write_seed(folder, "manifest-lf", "\x02" + manifest_text(manifest));
  write_seed(folder, "manifest-crlf", "\x02" + manifest_text(manifest, "\r\n\r\n"));
  write_seed(folder, "state-lf", "\x03" + manifest_text(state, "\n", "VANROSTATE02"));
  std::vector<ManifestRecord> few(manifest.end() - 5, manifest.end());
  few.push_back({"_vanro/patch/AdvData/MES/\xe6\xb1\x89\xc3\x84.mes", "-", fake_digest(1)});
  few.push_back({"_vanro/patch/AdvData/MES/\xe6\xb1\x89\xc3\xa4.mes", "-", fake_digest(2)});
  write_seed(folder, "records-few", std::string(1, '\0') + manifest_text(few).substr(13));
}

void core_list_seeds(const fs::path& folder) {
  std::vector<std::string> lines;
  for (const ManifestRecord& record : valid_manifest_records(RecordMode::install_state)) {
    const std::string& p = record.path;
    if (p == "_vanro/hook.ini" || p == "_vanro/core-files.tsv" || p == "_vanro/core-files.sig" ||
        p == "_vanro/runtime/VANROGame.exe") {
      continue;
    }
    lines.push_back(p + "\t" + record.sha256 + "\n");
  }
  std::sort(lines.begin(), lines.end());
  std::string list = "VANROAUTH01\n";
  for (const std::string& line : lines) list += line;
  write_seed(folder, "valid", list);
  std::string few = "VANROAUTH01\n";
  for (std::size_t i = 0; i < 3; ++i) few += lines[i];
  write_seed(folder, "records-few", few);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fuzz_seeds <corpus folder>\n");
    return 2;
  }
  const fs::path corpus(argv[1]);
  save_table_seeds(corpus / "save_table_fuzz");
  manifest_seeds(corpus / "manifest_fuzz");
  core_list_seeds(corpus / "core_list_fuzz");
  return 0;
}
