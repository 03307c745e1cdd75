// Lists signed at test time with OpenSSL and the test key: every refusal of the parser must also
// come through verify_core_signature once a correct signature has let the bytes in.
#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/patch_error.h"
#include "integrity/core_list.h"
#include "integrity/sha256.h"
#include "tests/support/temp_dir.h"
#include "tests/support/message.h"

namespace {

using Records = std::vector<std::pair<std::string, std::string>>;
using Key = std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)>;

const char* const PATH_OR_DIGEST = "补丁核心清单路径或校验值不正确。";
const char* const INVALID_SIGNATURE = "补丁核心签名无效，请重新获取完整补丁。";

Key test_key() {
  std::FILE* file = std::fopen(VANRO_SOURCE_DIR "/tools/keys/test-private-key.pem", "rb");
  EXPECT_NE(file, nullptr);
  EVP_PKEY* key = file ? PEM_read_PrivateKey(file, nullptr, nullptr, nullptr) : nullptr;
  if (file) std::fclose(file);
  EXPECT_NE(key, nullptr);
  return Key(key, EVP_PKEY_free);
}

Key fresh_key() { return Key(EVP_EC_gen("P-256"), EVP_PKEY_free); }

// The 64-byte r || s signature over the SHA-256 of the bytes.
std::string sign(EVP_PKEY* key, const std::string& bytes) {
  Sha256 hasher;
  hasher.reset();
  hasher.update(bytes.data(), bytes.size());
  const auto digest = hasher.finish();

  std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX*)> context(EVP_PKEY_CTX_new(key, nullptr), EVP_PKEY_CTX_free);
  unsigned char der[128];
  std::size_t der_length = sizeof der;
  EXPECT_EQ(EVP_PKEY_sign_init(context.get()), 1);
  EXPECT_EQ(EVP_PKEY_sign(context.get(), der, &der_length, digest.data(), digest.size()), 1);

  const unsigned char* cursor = der;
  std::unique_ptr<ECDSA_SIG, void (*)(ECDSA_SIG*)> signature(
      d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der_length)), ECDSA_SIG_free);
  std::string raw(64, '\0');
  BN_bn2binpad(ECDSA_SIG_get0_r(signature.get()), reinterpret_cast<unsigned char*>(raw.data()), 32);
  BN_bn2binpad(ECDSA_SIG_get0_s(signature.get()), reinterpret_cast<unsigned char*>(raw.data()) + 32, 32);
  return raw;
}

Records make_records(std::size_t count) {
  Records records;
  for (std::size_t i = 0; i < count; ++i) {
    char path[64];
    std::snprintf(path, sizeof path, "_vanro/patch/AdvData/GRP/g%03zu.png", i);
    records.emplace_back(path, sha256_hex(std::string(path)));
  }
  return records;
}

std::string list_text(const Records& records, const std::string& tail = "") {
  std::string text = "VANROAUTH01\n";
  for (const auto& [path, digest] : records) text += path + "\t" + digest + "\n";
  return text + tail;
}

class FreshlySignedListTest : public ::testing::Test {
 protected:
  // Writes the list and its signature by the key into the base directory, and verifies.
  std::string verify(const std::string& list, EVP_PKEY* signer) {
    write_test_file(temp.file(u"_vanro/core-files.tsv"), list);
    write_test_file(temp.file(u"_vanro/core-files.sig"), sign(signer, list));
    return message_of([&] { verify_core_signature(temp.path); });
  }

  TempDir temp;
  Key key = test_key();
};

TEST_F(FreshlySignedListTest, ParserRefusalsBehindAValidSignature) {
  const Records valid = make_records(CORE_RECORD_COUNT);
  auto changed = [&](const std::function<void(Records&)>& change) {
    Records records = valid;
    change(records);
    return records;
  };
  std::string upper = valid[9].second;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  std::string crlf;
  for (char c : list_text(valid)) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);

  const struct {
    const char* name;
    std::string list;
    const char* message;
  } cases[] = {
      {"valid", list_text(valid), ""},
      {"510 records", list_text(make_records(510)), "补丁核心清单条数不正确。"},
      {"512 records", list_text(make_records(512)), "补丁核心清单条数不正确。"},
      {"two records in the wrong order", list_text(changed([](Records& r) { std::swap(r[4], r[5]); })), PATH_OR_DIGEST},
      {"_vanro/Hook.ini", list_text(changed([](Records& r) { r[510].first = "_vanro/Hook.ini"; })), PATH_OR_DIGEST},
      {"upper-case digest", list_text(changed([&](Records& r) { r[9].second = upper; })), PATH_OR_DIGEST},
      {"A.bin and a.bin", list_text(changed([](Records& r) {
         r[0].first = "A.bin";
         r[510].first = "a.bin";
       })),
       PATH_OR_DIGEST},
      {"line ending in TAB", list_text(changed([](Records& r) { r[20].second = ""; })), PATH_OR_DIGEST},
      {"extra TAB after the digest", list_text(changed([](Records& r) { r[20].second += "\t"; })),
       "补丁核心清单记录不正确。"},
      {"CR LF line ends", crlf, "补丁核心清单格式不正确。"},
  };
  for (const auto& c : cases) EXPECT_EQ(verify(c.list, key.get()), c.message) << c.name;
}

TEST_F(FreshlySignedListTest, SignatureByAnotherKey) {
  const std::string list = list_text(make_records(CORE_RECORD_COUNT));
  EXPECT_EQ(verify(list, key.get()), "");
  const Key other = fresh_key();
  ASSERT_NE(other.get(), nullptr);
  EXPECT_EQ(verify(list, other.get()), INVALID_SIGNATURE);
}

TEST_F(FreshlySignedListTest, EveryChangedByteBreaksTheSignature) {
  const std::string list = list_text(make_records(CORE_RECORD_COUNT));
  ASSERT_EQ(verify(list, key.get()), "");
  // Every byte of the magic line and of the first record, then a stride through the rest.
  for (std::size_t position = 0; position < list.size(); position += position < 120 ? 1 : 499) {
    std::string changed = list;
    changed[position] = static_cast<char>(changed[position] ^ 0x20);
    write_test_file(temp.file(u"_vanro/core-files.tsv"), changed);
    ASSERT_EQ(message_of([&] { verify_core_signature(temp.path); }), INVALID_SIGNATURE) << "byte " << position;
  }
}

// A signed pair that is reached through a link is refused before it is read, even though its
// signature would hold.
TEST_F(FreshlySignedListTest, LinkedFilesAndFolders) {
  namespace fs = std::filesystem;
  const std::string list = list_text(make_records(CORE_RECORD_COUNT));
  ASSERT_EQ(verify(list, key.get()), "");
  const fs::path base(temp.path);
  const char* const LINKED = "补丁签名路径缺失或包含重解析点。";

  fs::rename(base / "_vanro" / "core-files.sig", base / "real.sig");
  fs::create_symlink(base / "real.sig", base / "_vanro" / "core-files.sig");
  EXPECT_EQ(message_of([&] { verify_core_signature(temp.path); }), LINKED) << "linked signature";

  fs::remove(base / "_vanro" / "core-files.sig");
  fs::rename(base / "real.sig", base / "_vanro" / "core-files.sig");
  fs::rename(base / "_vanro", base / "real");
  fs::create_directory_symlink(base / "real", base / "_vanro");
  EXPECT_EQ(message_of([&] { verify_core_signature(temp.path); }), LINKED) << "linked _vanro";
}

}  // namespace
