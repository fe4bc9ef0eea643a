// Message digests of the platform's crypto library (nettle underneath: no process-wide state, so
// they work while the process ends, as long as a thread runs).
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t CC_SHA1_DIGEST_LENGTH = 20;
inline constexpr std::size_t CC_MD5_DIGEST_LENGTH = 16;

// Writes the SHA-1 digest of `length` bytes at `data` to `md` (20 bytes) and returns `md`.
unsigned char* CC_SHA1(const void* data, std::size_t length, unsigned char* md);
// Writes the MD5 digest of `length` bytes at `data` to `md` (16 bytes) and returns `md`.
unsigned char* CC_MD5(const void* data, std::size_t length, unsigned char* md);
