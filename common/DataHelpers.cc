#include "common/DataHelpers.h"

#include <openssl/evp.h>

namespace {

Bytes md5(const void* bytes, std::size_t length) {
  Bytes digest(EVP_MAX_MD_SIZE);
  unsigned int digestLength = 0;
  if (EVP_Digest(bytes, length, digest.data(), &digestLength, EVP_md5(), nullptr) != 1 ||
      digestLength != kTLMMD5DigestLength) {
    return {};
  }
  digest.resize(digestLength);
  return digest;
}

std::int64_t lowEightBytes(const Bytes& digest) {
  if (digest.size() != kTLMMD5DigestLength) return 0;
  std::uint64_t value = 0;
  for (std::size_t i = 8; i < kTLMMD5DigestLength; ++i) value = (value << 8) | digest[i];
  // Two's complement reinterpretation, well defined since C++20.
  return static_cast<std::int64_t>(value);
}

}  // namespace

Bytes tlm_MD5Data(const Bytes& data) { return md5(data.data(), data.size()); }

Bytes tlm_MD5Data(std::string_view text) { return md5(text.data(), text.size()); }

std::string tlm_MD5String(std::string_view text) { return tlm_hexString(tlm_MD5Data(text)); }

std::string tlm_MD5String(const Bytes& data) { return tlm_hexString(tlm_MD5Data(data)); }

std::int64_t tlm_64LSBMD5(const Bytes& data) { return lowEightBytes(tlm_MD5Data(data)); }

std::int64_t tlm_64LSBMD5(std::string_view text) { return lowEightBytes(tlm_MD5Data(text)); }

std::string tlm_hexString(const Bytes& data) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(data.size() * 2);
  for (std::uint8_t byte : data) {
    hex += kHex[byte >> 4];
    hex += kHex[byte & 0x0F];
  }
  return hex;
}
