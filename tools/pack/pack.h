// Building a signed patch package from a folder laid out as the files go into the game directory.
// Shared by vanro-pack (for patch maintainers) and vanro-demo (the demo and test fixture generator).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

// What pack_package made, for the one-line summaries of the two tools.
struct PackSummary {
  std::size_t records = 0;          // manifest records (515)
  std::size_t covered = 0;          // records of the signed core list (511)
  uint64_t bytes = 0;               // bytes of the packaged files
  std::string public_key_hex;       // the signing key's public half, X then Y
  bool installer_key_matches = false;  // this build's installer would accept the signature
};

// Checks every input file as the installer will later, then writes OUT/patch-manifest.tsv, OUT/patch/
// with the files, OUT/patch/_vanro/core-files.tsv and core-files.sig, and re-reads the result with the
// installer's own parsers. OUT must be missing or an empty directory. Refusals are raised as PatchError
// before anything is written; the message holds one line per problem, each naming its file.
PackSummary pack_package(const std::filesystem::path& input, const std::filesystem::path& key_pem,
                         const std::filesystem::path& out);

// Makes every check of the input that pack_package makes, and writes nothing. Returns the number of
// input files.
std::size_t check_pack_input(const std::filesystem::path& input);

// The public half of a P-256 private key in PEM: X then Y, 128 lower-case hex characters.
std::string public_key_hex(const std::filesystem::path& key_pem);

// Writes a new P-256 key pair to OUT.pem (PKCS#8, mode 0600); refuses an existing file.
// Returns the public half as public_key_hex does.
std::string generate_key(const std::filesystem::path& out_pem);

// ECDSA P-256 over a 32-byte digest with the nonce derived from the key and the digest (RFC 6979),
// so the same list signed with the same key always gives the same 64 bytes r||s.
std::array<uint8_t, 64> sign_digest_deterministic(const std::filesystem::path& key_pem,
                                                  const std::array<uint8_t, 32>& digest);
// The same from a raw 32-byte private scalar, for the known-answer tests.
std::array<uint8_t, 64> sign_digest_deterministic(const std::array<uint8_t, 32>& private_scalar,
                                                  const std::array<uint8_t, 32>& digest);
