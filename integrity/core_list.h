// The signed core file list, _vanro/core-files.tsv, and its signature _vanro/core-files.sig: the
// signature check, the parser and the writer, and the key they are checked with.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

// Path (bytes as written) to digest (64-character text), exactly 511 entries.
using CoreFileList = std::map<std::string, std::string>;

inline constexpr std::size_t CORE_LIST_LIMIT = 262144;
inline constexpr std::size_t CORE_RECORD_COUNT = 511;
inline constexpr char CORE_LIST_PATH[] = "_vanro/core-files.tsv";
inline constexpr char CORE_SIGNATURE_PATH[] = "_vanro/core-files.sig";

// An ECDSA P-256 public key as the platform takes it (ECCPUBLICBLOB): the magic "ECS1" and the key
// length 32, both 32-bit little-endian, then X and Y, each 32 bytes big-endian.
using PublicKeyBlob = std::array<uint8_t, 72>;
// The blob of a key given as 128 hex characters, X then Y.
PublicKeyBlob public_key_blob(std::string_view x_then_y_hex);
// The signer's key, chosen when the build was configured: 128 lower-case hex characters.
std::string_view embedded_public_key_hex();

// The list's signature checked with the key; raises the messages of a bad signature.
void check_core_signature(const std::string& list, const std::string& signature, const PublicKeyBlob& key);
CoreFileList verify_core_signature(const std::u16string& base);
CoreFileList parse_core_file_list(const std::string& bytes);
// The bytes of core-files.tsv for the entries, in the byte order of their paths.
std::string format_core_file_list(const CoreFileList& list);
