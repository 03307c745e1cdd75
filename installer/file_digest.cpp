#include "installer/file_digest.h"

#include <cstdint>
#include <memory>
#include <optional>

#include "common/patch_error.h"
#include "common/platform.h"
#include "integrity/sha256.h"

namespace {

constexpr uint64_t PIECE = 262144;

struct ReadHandle {
  platform::FileHandle handle;
  ~ReadHandle() { platform::close_file(handle); }
};

}  // namespace

std::string file_sha256_hex(const std::u16string& path) {
  std::optional<platform::FileHandle> opened = platform::open_for_read(path);
  if (!opened) throw PatchError("Cannot open input file");
  ReadHandle file{*opened};
  std::optional<uint64_t> size = platform::open_file_size(file.handle);
  if (!size || *size > FILE_HASH_LIMIT) throw PatchError("File size exceeds limit");

  // The open handle keeps writers out (share mode read), so the pieces are one consistent file.
  std::unique_ptr<char[]> piece(new char[PIECE]);
  Sha256 hasher;
  hasher.reset();
  for (uint64_t left = *size; left > 0;) {
    uint64_t want = left < PIECE ? left : PIECE, done = 0;
    if (!platform::read_file(file.handle, piece.get(), want, done) || done != want)
      throw PatchError("Incomplete file read");
    hasher.update(piece.get(), static_cast<std::size_t>(done));
    left -= done;
  }
  std::array<uint8_t, 32> digest = hasher.finish();
  return to_hex(digest.data(), digest.size());
}
