// The SHA-256 of a whole file, as the operations take it of every packaged and installed file.
#pragma once

#include <string>

// The same answer and the same failures as sha256_file_hex ("Cannot open input file", "File size
// exceeds limit" above FILE_HASH_LIMIT, "Incomplete file read"), but the file is hashed as it is
// read, in pieces that stay in the processor's cache, instead of being held whole in memory.
std::string file_sha256_hex(const std::u16string& path);

struct LaunchCopyDigest {
  std::string sha256;
  bool has_launch_fixes = false;  // what file_has_launch_fixes answers for the same bytes
};

// A launch copy's digest and whether it carries every byte fix, from one read of the file. The
// failures are those of file_sha256_hex.
LaunchCopyDigest launch_copy_digest(const std::u16string& path);
