// The hasher's two block functions, named here so that tests can run the hasher on each one and
// compare them. Everything else calls Sha256 (sha256.h), which picks one of them once per run.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "integrity/sha256.h"

namespace sha256_blocks {

// Runs the compression function over `count` consecutive 64-byte blocks.
using BlockFunction = void (*)(uint32_t state[8], const uint8_t* blocks, std::size_t count);

void portable(uint32_t state[8], const uint8_t* blocks, std::size_t count);
// Needs the x86 SHA extensions and SSE4.1; call it only when cpu_has_sha_extensions() says so.
void sha_extensions(uint32_t state[8], const uint8_t* blocks, std::size_t count);
bool cpu_has_sha_extensions();

// Sha256::update and Sha256::finish with the given block function instead of the chosen one.
void update_with(Sha256& hasher, BlockFunction run, const void* data, std::size_t length);
std::array<uint8_t, 32> finish_with(Sha256& hasher, BlockFunction run);

}  // namespace sha256_blocks
