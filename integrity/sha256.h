// SHA-256 as FIPS 180-4 defines it, and the lower-case hex text form of digests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/file_io.h"

inline constexpr uint64_t FILE_HASH_LIMIT = 134217728;

struct Sha256 {
  uint32_t state[8];
  uint64_t byte_count;
  uint32_t fill;
  uint8_t block[64];

  void reset();
  void update(const void* data, std::size_t length);
  std::array<uint8_t, 32> finish();
};

std::string to_hex(const void* bytes, std::size_t length);
// The bytes of a hex text (either case); an odd last character or a non-hex one raises
// std::invalid_argument. For texts of the program's own making, such as the embedded key.
std::string from_hex(std::string_view hex);
// The text form of a digest: exactly 64 characters, each 0-9 or a-f.
bool is_hex_digest(std::string_view text);
// The raw 32-byte digest, which the signature is made over.
std::array<uint8_t, 32> sha256_digest(const void* bytes, std::size_t length);
std::string sha256_hex(const void* bytes, std::size_t length);
inline std::string sha256_hex(const std::string& bytes) { return sha256_hex(bytes.data(), bytes.size()); }
// The digest of a whole file of at most FILE_HASH_LIMIT bytes ("Cannot open input file", "File size
// exceeds limit", "Incomplete file read"). The file is hashed as it is read, in pieces that stay in
// the processor's cache; `look`, when given, sees every piece with its offset, so that other checks
// of the same bytes need no second read.
// `owner` says whether the file is this run's own (common/retrying.h).
std::string sha256_file_hex(const std::u16string& path, const FilePieceLook& look = {},
                            retrying::Owner owner = retrying::Owner::anyone);
// The same for a file already open, read from its start.
std::string sha256_open_file_hex(platform::FileHandle file, const FilePieceLook& look = {});
