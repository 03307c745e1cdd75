#include "installer/file_digest.h"

#include <cstdint>

#include "common/launch_copy.h"
#include "integrity/sha256.h"

namespace {

template <typename Hash>
LaunchCopyDigest launch_copy_digest_of(Hash hash) {
  // Every fix must lie within the file and hold its value; a file over the launch copy limit is
  // not read as a launch copy at all, so it carries none.
  std::size_t found = 0;
  uint64_t size = 0;
  LaunchCopyDigest result;
  result.sha256 = hash([&](uint64_t offset, const char* bytes, uint64_t length) {
    found += launch_fixes_in_piece(offset, bytes, length);
    size = offset + length;
  });
  result.has_launch_fixes = found == LAUNCH_FIX_TABLE.size() && size <= LAUNCH_COPY_READ_LIMIT;
  return result;
}

}  // namespace

LaunchCopyDigest launch_copy_digest(const std::u16string& path, retrying::Owner owner) {
  return launch_copy_digest_of([&](const FilePieceLook& look) { return sha256_file_hex(path, look, owner); });
}

LaunchCopyDigest launch_copy_digest(platform::FileHandle file) {
  return launch_copy_digest_of([&](const FilePieceLook& look) { return sha256_open_file_hex(file, look); });
}
