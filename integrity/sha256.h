// SHA-256 as FIPS 180-4 defines it, and the lower-case hex text form of digests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

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
std::string sha256_hex(const void* bytes, std::size_t length);
inline std::string sha256_hex(const std::string& bytes) { return sha256_hex(bytes.data(), bytes.size()); }
std::string sha256_file_hex(const std::u16string& path);
