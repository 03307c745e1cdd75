// The one SHA-256 hasher of both programs and the text form of digests.
#include "integrity/sha256.h"

#include <cstring>
#include <stdexcept>

#include "integrity/sha256_blocks.h"

namespace sha256_blocks {
namespace {

constexpr uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

uint32_t load_be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

}  // namespace

void portable(uint32_t state[8], const uint8_t* blocks, std::size_t count) {
  for (; count > 0; --count, blocks += 64) {
    uint32_t w[64];
    for (int t = 0; t < 16; ++t) w[t] = load_be32(blocks + 4 * t);
    for (int t = 16; t < 64; ++t) {
      const uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
      const uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
      w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int t = 0; t < 64; ++t) {
      const uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + sha256_blocks::K[t] + w[t];
      const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

void update_with(Sha256& hasher, BlockFunction run, const void* data, std::size_t length) {
  if (length == 0) return;  // an empty piece may come with a null pointer
  auto* input = static_cast<const uint8_t*>(data);
  hasher.byte_count += length;
  if (hasher.fill > 0) {
    const std::size_t take = length < 64 - hasher.fill ? length : 64 - hasher.fill;
    std::memcpy(hasher.block + hasher.fill, input, take);
    hasher.fill += static_cast<uint32_t>(take);
    input += take;
    length -= take;
    if (hasher.fill < 64) return;
    run(hasher.state, hasher.block, 1);
    hasher.fill = 0;
  }
  // Whole blocks are hashed where they lie: a 128 MiB file is never copied through the buffer.
  const std::size_t whole = length / 64;
  if (whole > 0) {
    run(hasher.state, input, whole);
    input += whole * 64;
    length -= whole * 64;
  }
  std::memcpy(hasher.block, input, length);
  hasher.fill = static_cast<uint32_t>(length);
}

std::array<uint8_t, 32> finish_with(Sha256& hasher, BlockFunction run) {
  const uint64_t bit_count = hasher.byte_count * 8;
  uint8_t padding[128] = {0x80};
  const std::size_t padding_length = hasher.fill < 56 ? 64 - hasher.fill : 128 - hasher.fill;
  for (int i = 0; i < 8; ++i) padding[padding_length - 1 - i] = static_cast<uint8_t>(bit_count >> (8 * i));
  update_with(hasher, run, padding, padding_length);

  std::array<uint8_t, 32> digest;
  for (int i = 0; i < 8; ++i) {
    digest[4 * i] = static_cast<uint8_t>(hasher.state[i] >> 24);
    digest[4 * i + 1] = static_cast<uint8_t>(hasher.state[i] >> 16);
    digest[4 * i + 2] = static_cast<uint8_t>(hasher.state[i] >> 8);
    digest[4 * i + 3] = static_cast<uint8_t>(hasher.state[i]);
  }
  return digest;
}

}  // namespace sha256_blocks

namespace {

// Decided on the first use and kept for the whole run: the CPU does not change under us.
sha256_blocks::BlockFunction block_function() {
  static const sha256_blocks::BlockFunction chosen =
      sha256_blocks::cpu_has_sha_extensions() ? sha256_blocks::sha_extensions : sha256_blocks::portable;
  return chosen;
}

}  // namespace

void Sha256::reset() {
  static constexpr uint32_t INITIAL[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::memcpy(state, INITIAL, sizeof state);
  byte_count = 0;
  fill = 0;
}

void Sha256::update(const void* data, std::size_t length) {
  sha256_blocks::update_with(*this, block_function(), data, length);
}

std::array<uint8_t, 32> Sha256::finish() { return sha256_blocks::finish_with(*this, block_function()); }

std::string to_hex(const void* bytes, std::size_t length) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  auto* in = static_cast<const uint8_t*>(bytes);
  std::string text(2 * length, '\0');
  for (std::size_t i = 0; i < length; ++i) {
    text[2 * i] = DIGITS[in[i] >> 4];
    text[2 * i + 1] = DIGITS[in[i] & 0x0f];
  }
  return text;
}

std::string from_hex(std::string_view hex) {
  auto nibble = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw std::invalid_argument("not a hex digit");
  };
  if (hex.size() % 2 != 0) throw std::invalid_argument("odd hex text");
  std::string bytes(hex.size() / 2, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
  return bytes;
}

bool is_hex_digest(std::string_view text) {
  if (text.size() != 64) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
      return false;
    }
  }
  return true;
}

std::array<uint8_t, 32> sha256_digest(const void* bytes, std::size_t length) {
  Sha256 hasher;
  hasher.reset();
  hasher.update(bytes, length);
  return hasher.finish();
}

std::string sha256_hex(const void* bytes, std::size_t length) {
  const auto digest = sha256_digest(bytes, length);
  return to_hex(digest.data(), digest.size());
}

namespace {

// Hashes every piece that `read` hands over, showing each to `look` too.
template <typename Read>
std::string sha256_of_pieces(const FilePieceLook& look, Read read) {
  Sha256 hasher;
  hasher.reset();
  read([&](uint64_t offset, const char* bytes, uint64_t length) {
    hasher.update(bytes, static_cast<std::size_t>(length));
    if (look) look(offset, bytes, length);
  });
  std::array<uint8_t, 32> digest = hasher.finish();
  return to_hex(digest.data(), digest.size());
}

}  // namespace

std::string sha256_file_hex(const std::u16string& path, const FilePieceLook& look, retrying::Owner owner) {
  return sha256_of_pieces(look, [&](const FilePieceLook& each) { read_file_in_pieces(path, FILE_HASH_LIMIT, each, owner); });
}

std::string sha256_open_file_hex(platform::FileHandle file, const FilePieceLook& look) {
  return sha256_of_pieces(look, [&](const FilePieceLook& each) { read_open_file_in_pieces(file, FILE_HASH_LIMIT, each); });
}
