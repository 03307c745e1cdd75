// The install state file vanro-install-state.tsv, the install record directory and its texts.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "package/manifest.h"

struct InstallState {
  std::u16string record_dir;
  std::vector<ManifestRecord> entries;
};

inline constexpr char16_t INSTALL_STATE_NAME[] = u"vanro-install-state.tsv";
inline constexpr char16_t RECORD_TEXT_NAME[] = u"安装记录.txt";

InstallState read_install_state(const std::u16string& game_dir);
std::u16string make_record_dir_name();
std::string format_record_text(const std::u16string& game_dir);
std::string format_install_state(const std::u16string& record_dir_name, const std::vector<ManifestRecord>& records);
// The relative path, under the record directory, of the n-th candidate for a kept copy:
// "user-edits/NAME" first, then "user-edits/NAME.0", "user-edits/NAME.1", ...
std::string user_edits_candidate(const std::string& name, std::size_t attempt);
