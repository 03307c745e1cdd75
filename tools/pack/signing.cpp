// The signer's side of the core list signature: P-256 keys in PEM and deterministic ECDSA.
//
// The nonce comes from RFC 6979 rather than from a random source so that the demo and the test
// fixtures are the same bytes on every run; the installer cannot tell the difference, since any
// valid r||s verifies.
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "common/patch_error.h"
#include "integrity/sha256.h"
#include "tools/pack/pack.h"

namespace {

namespace fs = std::filesystem;

template <typename T, void (*Free)(T*)>
struct OpenSslFree {
  void operator()(T* p) const { Free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslFree<EVP_PKEY, EVP_PKEY_free>>;
using BioPtr = std::unique_ptr<BIO, OpenSslFree<BIO, BIO_free_all>>;
using BnPtr = std::unique_ptr<BIGNUM, OpenSslFree<BIGNUM, BN_clear_free>>;
using BnCtxPtr = std::unique_ptr<BN_CTX, OpenSslFree<BN_CTX, BN_CTX_free>>;
using GroupPtr = std::unique_ptr<EC_GROUP, OpenSslFree<EC_GROUP, EC_GROUP_free>>;
using PointPtr = std::unique_ptr<EC_POINT, OpenSslFree<EC_POINT, EC_POINT_free>>;

std::string openssl_reason() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "no detail";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

void require(bool ok, const std::string& what) {
  if (!ok) throw PatchError(what + " (" + openssl_reason() + ")");
}

BnPtr new_bn() {
  BnPtr bn(BN_secure_new());
  require(bn != nullptr, "out of memory for a big number");
  return bn;
}

// A passphrase prompt would hang a scripted run; an encrypted key is refused instead.
int no_passphrase(char*, int, int, void*) { return -1; }

PkeyPtr load_p256_key(const fs::path& key_pem) {
  BioPtr bio(BIO_new_file(key_pem.c_str(), "r"));
  if (!bio) throw PatchError(key_pem.string() + ": cannot open the key file");
  PkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, no_passphrase, nullptr));
  if (!key)
    throw PatchError(key_pem.string() + ": not an unencrypted private key in PEM (" + openssl_reason() + ")");
  char group[64] = {};
  std::size_t group_length = 0;
  if (!EVP_PKEY_is_a(key.get(), "EC") ||
      !EVP_PKEY_get_utf8_string_param(key.get(), OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                      &group_length) ||
      std::string(group, group_length) != SN_X9_62_prime256v1)
    throw PatchError(key_pem.string() + ": not an ECDSA P-256 key; the installer verifies P-256 only");
  return key;
}

std::array<uint8_t, 32> bn_to_32_bytes(const BIGNUM* bn) {
  std::array<uint8_t, 32> bytes{};
  require(BN_bn2binpad(bn, bytes.data(), 32) == 32, "a key number does not fit in 32 bytes");
  return bytes;
}

BnPtr key_number(const EVP_PKEY* key, const char* name) {
  BIGNUM* bn = nullptr;
  require(EVP_PKEY_get_bn_param(key, name, &bn) == 1, std::string("cannot read the key's ") + name);
  return BnPtr(bn);
}

std::string public_hex_of(const EVP_PKEY* key) {
  std::array<uint8_t, 32> x = bn_to_32_bytes(key_number(key, OSSL_PKEY_PARAM_EC_PUB_X).get());
  std::array<uint8_t, 32> y = bn_to_32_bytes(key_number(key, OSSL_PKEY_PARAM_EC_PUB_Y).get());
  return to_hex(x.data(), x.size()) + to_hex(y.data(), y.size());
}

using Block = std::array<uint8_t, 32>;

Block hmac_sha256(const Block& key, const std::string& data) {
  Block out{};
  unsigned int length = 0;
  require(HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
               reinterpret_cast<const unsigned char*>(data.data()), data.size(), out.data(),
               &length) != nullptr && length == 32,
          "HMAC-SHA-256 failed");
  return out;
}

std::string bytes_of(const Block& block) { return std::string(block.begin(), block.end()); }

// RFC 6979, 3.2, for a 256-bit order and SHA-256 (qlen = hlen, so bits2int is a plain conversion).
struct NonceGenerator {
  Block k{};
  Block v{};

  NonceGenerator(const Block& private_scalar, const Block& reduced_digest) {
    v.fill(0x01);
    k.fill(0x00);
    std::string seed = bytes_of(private_scalar) + bytes_of(reduced_digest);
    k = hmac_sha256(k, bytes_of(v) + '\x00' + seed);
    v = hmac_sha256(k, bytes_of(v));
    k = hmac_sha256(k, bytes_of(v) + '\x01' + seed);
    v = hmac_sha256(k, bytes_of(v));
  }

  Block candidate() {
    v = hmac_sha256(k, bytes_of(v));
    return v;
  }

  void reject() {
    k = hmac_sha256(k, bytes_of(v) + '\x00');
    v = hmac_sha256(k, bytes_of(v));
  }
};

}  // namespace

std::string public_key_hex(const fs::path& key_pem) { return public_hex_of(load_p256_key(key_pem).get()); }

std::string generate_key(const fs::path& out_pem) {
  PkeyPtr key(EVP_EC_gen("P-256"));
  require(key != nullptr, "cannot generate a P-256 key");
  // O_EXCL: a key that already exists may be the only copy of a release key.
  int fd = ::open(out_pem.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (fd < 0) throw PatchError(out_pem.string() + ": already exists or cannot be created; nothing was written");
  FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    ::close(fd);
    ::unlink(out_pem.c_str());
    throw PatchError(out_pem.string() + ": cannot be written");
  }
  bool written = PEM_write_PrivateKey(file, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
  written = (std::fflush(file) == 0) && written;
  written = (::fsync(::fileno(file)) == 0) && written;
  written = (std::fclose(file) == 0) && written;
  if (!written) {
    ::unlink(out_pem.c_str());
    throw PatchError(out_pem.string() + ": cannot be written (" + openssl_reason() + ")");
  }
  return public_hex_of(key.get());
}

std::array<uint8_t, 64> sign_digest_deterministic(const std::array<uint8_t, 32>& private_scalar,
                                                  const std::array<uint8_t, 32>& digest) {
  GroupPtr group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
  require(group != nullptr, "P-256 is not available");
  BnCtxPtr ctx(BN_CTX_secure_new());
  require(ctx != nullptr, "out of memory");
  const BIGNUM* order = EC_GROUP_get0_order(group.get());

  BnPtr d = new_bn();
  require(BN_bin2bn(private_scalar.data(), 32, d.get()) != nullptr, "bad private key");
  if (BN_is_zero(d.get()) || BN_cmp(d.get(), order) >= 0) throw PatchError("the private key is out of range");

  BnPtr e = new_bn();
  require(BN_bin2bn(digest.data(), 32, e.get()) != nullptr, "bad digest");
  BnPtr e_reduced = new_bn();
  require(BN_nnmod(e_reduced.get(), e.get(), order, ctx.get()) == 1, "digest reduction failed");

  NonceGenerator nonces(private_scalar, bn_to_32_bytes(e_reduced.get()));
  BnPtr k = new_bn(), r = new_bn(), s = new_bn(), x = new_bn(), k_inverse = new_bn(), t = new_bn();
  BN_set_flags(k.get(), BN_FLG_CONSTTIME);
  PointPtr point(EC_POINT_new(group.get()));
  require(point != nullptr, "out of memory");
  for (;;) {
    Block candidate = nonces.candidate();
    require(BN_bin2bn(candidate.data(), 32, k.get()) != nullptr, "nonce conversion failed");
    if (BN_is_zero(k.get()) || BN_cmp(k.get(), order) >= 0) {
      nonces.reject();
      continue;
    }
    require(EC_POINT_mul(group.get(), point.get(), k.get(), nullptr, nullptr, ctx.get()) == 1, "k*G failed");
    require(EC_POINT_get_affine_coordinates(group.get(), point.get(), x.get(), nullptr, ctx.get()) == 1,
            "k*G has no affine form");
    require(BN_nnmod(r.get(), x.get(), order, ctx.get()) == 1, "r reduction failed");
    // s = k^-1 * (e + r*d) mod n
    require(BN_mod_inverse(k_inverse.get(), k.get(), order, ctx.get()) != nullptr, "k has no inverse");
    require(BN_mod_mul(t.get(), r.get(), d.get(), order, ctx.get()) == 1, "r*d failed");
    require(BN_mod_add(t.get(), t.get(), e.get(), order, ctx.get()) == 1, "e+r*d failed");
    require(BN_mod_mul(s.get(), k_inverse.get(), t.get(), order, ctx.get()) == 1, "s failed");
    if (!BN_is_zero(r.get()) && !BN_is_zero(s.get())) break;
    nonces.reject();
  }
  std::array<uint8_t, 64> signature{};
  Block r_bytes = bn_to_32_bytes(r.get()), s_bytes = bn_to_32_bytes(s.get());
  std::copy(r_bytes.begin(), r_bytes.end(), signature.begin());
  std::copy(s_bytes.begin(), s_bytes.end(), signature.begin() + 32);
  return signature;
}

std::array<uint8_t, 64> sign_digest_deterministic(const fs::path& key_pem, const std::array<uint8_t, 32>& digest) {
  PkeyPtr key = load_p256_key(key_pem);
  Block scalar = bn_to_32_bytes(key_number(key.get(), OSSL_PKEY_PARAM_PRIV_KEY).get());
  std::array<uint8_t, 64> signature = sign_digest_deterministic(scalar, digest);
  OPENSSL_cleanse(scalar.data(), scalar.size());
  return signature;
}
