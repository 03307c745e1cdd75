#include "installer/file_digest.h"

#include <cstdint>
#include <optional>

#include "common/launch_copy.h"
#include "common/patch_error.h"
#include "common/platform.h"
#include "integrity/sha256.h"

namespace {

// Small enough to stay in the processor's cache while it is hashed, large enough to keep the
// number of read calls low.
constexpr uint64_t PIECE = 65536;

struct ReadHandle {
  platform::FileHandle handle;
  ~ReadHandle() { platform::close_file(handle); }
};

// Reads the whole file piece by piece, hashing it, and hands every piece with its offset to `look`.
// `size` receives the file's size.
template <typename Look>
std::string hash_file(const std::u16string& path, uint64_t& size_out, Look look) {
  std::optional<platform::FileHandle> opened = platform::open_for_read(path);
  if (!opened) throw PatchError("Cannot open input file");
  ReadHandle file{*opened};
  std::optional<uint64_t> size = platform::open_file_size(file.handle);
  if (!size || *size > FILE_HASH_LIMIT) throw PatchError("File size exceeds limit");

  // The open handle keeps writers out, so the pieces are one consistent file.
  char piece[PIECE];
  Sha256 hasher;
  hasher.reset();
  for (uint64_t offset = 0; offset < *size;) {
    uint64_t want = *size - offset < PIECE ? *size - offset : PIECE, done = 0;
    if (!platform::read_file(file.handle, piece, want, done) || done != want) throw PatchError("Incomplete file read");
    hasher.update(piece, static_cast<std::size_t>(done));
    look(offset, piece, done);
    offset += done;
  }
  size_out = *size;
  std::array<uint8_t, 32> digest = hasher.finish();
  return to_hex(digest.data(), digest.size());
}

}  // namespace

std::string file_sha256_hex(const std::u16string& path) {
  uint64_t size = 0;
  return hash_file(path, size, [](uint64_t, const char*, uint64_t) {});
}

LaunchCopyDigest launch_copy_digest(const std::u16string& path) {
  // Every fix must lie within the file and hold its value; a file over the launch copy limit is
  // not read as a launch copy at all, so it carries none.
  std::size_t found = 0;
  uint64_t size = 0;
  LaunchCopyDigest result;
  result.sha256 = hash_file(path, size, [&](uint64_t offset, const char* bytes, uint64_t length) {
    for (const LaunchFix& fix : LAUNCH_FIX_TABLE)
      if (fix.offset >= offset && fix.offset < offset + length &&
          static_cast<uint8_t>(bytes[fix.offset - offset]) == fix.value)
        ++found;
  });
  result.has_launch_fixes = found == LAUNCH_FIX_TABLE.size() && size <= LAUNCH_COPY_READ_LIMIT;
  return result;
}
