// The launch copy's digest and byte fixes, taken together from one read of the file.
#pragma once

#include <string>

#include "common/retrying.h"

struct LaunchCopyDigest {
  std::string sha256;
  bool has_launch_fixes = false;  // what file_has_launch_fixes answers for the same bytes
};

// The failures are those of sha256_file_hex.
LaunchCopyDigest launch_copy_digest(const std::u16string& path, retrying::Owner owner = retrying::Owner::anyone);
// The same for a file already open, read from its start.
LaunchCopyDigest launch_copy_digest(platform::FileHandle file);
