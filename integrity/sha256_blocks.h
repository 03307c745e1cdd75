// The hasher's two block functions, named here so that tests can run each one on its own and
// compare them. Everything else calls Sha256 (sha256.h), which picks one of them once per run.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sha256_blocks {

// Runs the compression function over `count` consecutive 64-byte blocks.
using BlockFunction = void (*)(uint32_t state[8], const uint8_t* blocks, std::size_t count);

void portable(uint32_t state[8], const uint8_t* blocks, std::size_t count);
// Needs the x86 SHA extensions and SSE4.1; call it only when cpu_has_sha_extensions() says so.
void sha_extensions(uint32_t state[8], const uint8_t* blocks, std::size_t count);
bool cpu_has_sha_extensions();

}  // namespace sha256_blocks
