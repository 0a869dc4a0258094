// Digest helpers shared by the library (fingerprints, checksums,
// transaction identifiers). Pure functions, safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ferrolux/Object.h"

// Number of bytes of an MD5 digest.
inline constexpr std::size_t kTLMMD5DigestLength = 16;

// The 16-byte MD5 digest. Empty only when libcrypto refuses MD5 (a
// FIPS-restricted configuration).
Bytes tlm_MD5Data(const Bytes& data);
Bytes tlm_MD5Data(std::string_view text);

// The digest as 32 lower-case hexadecimal digits ("" when MD5 is refused).
// A string is digested as its UTF-8 bytes.
std::string tlm_MD5String(std::string_view text);
std::string tlm_MD5String(const Bytes& data);

// The last eight digest bytes (8..15) read as a big-endian signed 64-bit
// integer: the fingerprint of raw-event metadata and the bundle checksum.
// 0 when MD5 is refused.
std::int64_t tlm_64LSBMD5(const Bytes& data);
std::int64_t tlm_64LSBMD5(std::string_view text);

// Lower-case hexadecimal form of any bytes.
std::string tlm_hexString(const Bytes& data);
