// The platform's ECDSA P-256 verifier (BCrypt on Windows, OpenSSL's libcrypto on Linux) against the
// [P-256,SHA-256] cases of the NIST CAVP SigVer file, each message hashed with our own SHA-256.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "common/platform.h"
#include "integrity/sha256.h"

namespace {

struct SigVerCase {
  std::string msg, qx, qy, r, s, result;
};

std::vector<SigVerCase> read_sigver() {
  std::ifstream in(VANRO_SOURCE_DIR "/tests/data/ecdsa/SigVer_P256_SHA256.rsp", std::ios::binary);
  EXPECT_TRUE(in);
  std::vector<SigVerCase> cases;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto equals = line.find(" = ");
    if (equals == std::string::npos || line[0] == '#') continue;
    const std::string key = line.substr(0, equals), value = line.substr(equals + 3);
    if (key == "Msg") cases.emplace_back();
    if (cases.empty()) continue;
    SigVerCase& c = cases.back();
    if (key == "Msg") c.msg = value;
    if (key == "Qx") c.qx = value;
    if (key == "Qy") c.qy = value;
    if (key == "R") c.r = value;
    if (key == "S") c.s = value;
    if (key == "Result") c.result = value;
  }
  return cases;
}

void from_hex(const std::string& hex, uint8_t* out, std::size_t size) {
  ASSERT_EQ(hex.size(), 2 * size) << hex;
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
}

TEST(PlatformSignature, NistP256Sha256Vectors) {
  const std::vector<SigVerCase> cases = read_sigver();
  ASSERT_EQ(cases.size(), 15u);
  int passes = 0;
  for (const SigVerCase& c : cases) {
    std::vector<uint8_t> message(c.msg.size() / 2);
    from_hex(c.msg, message.data(), message.size());
    Sha256 hasher;
    hasher.reset();
    hasher.update(message.data(), message.size());
    const auto digest_array = hasher.finish();
    uint8_t digest[32];
    std::memcpy(digest, digest_array.data(), sizeof digest);

    // ECCPUBLICBLOB: "ECS1", key length 32 (both little-endian), X, Y.
    uint8_t key_blob[72] = {0x45, 0x43, 0x53, 0x31, 0x20, 0x00, 0x00, 0x00};
    from_hex(c.qx, key_blob + 8, 32);
    from_hex(c.qy, key_blob + 40, 32);
    uint8_t signature[64];
    from_hex(c.r, signature, 32);
    from_hex(c.s, signature + 32, 32);

    const platform::SignatureCheck got = platform::verify_p256(key_blob, digest, signature);
    if (c.result[0] == 'P') {
      ++passes;
      EXPECT_EQ(got, platform::SignatureCheck::valid) << "Msg = " << c.msg;
    } else {
      EXPECT_EQ(got, platform::SignatureCheck::invalid) << "Msg = " << c.msg << ", Result = " << c.result;
    }
  }
  EXPECT_EQ(passes, 3);
}

}  // namespace
