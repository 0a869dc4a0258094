// MD5 helpers against the RFC 1321 test suite.
#include <gtest/gtest.h>

#include <cstring>

#include "common/DataHelpers.h"

namespace {

TEST(MD5, Rfc1321SuiteAsStringsAndBytes) {
  const std::pair<const char*, const char*> suite[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [input, digest] : suite) {
    SCOPED_TRACE(input);
    EXPECT_EQ(tlm_MD5String(input), digest);
    const Bytes bytes(input, input + std::strlen(input));
    EXPECT_EQ(tlm_MD5String(bytes), digest);
    const Bytes data = tlm_MD5Data(bytes);
    ASSERT_EQ(data.size(), kTLMMD5DigestLength);
    EXPECT_EQ(tlm_hexString(data), digest);
  }
  // Strings are digested as their UTF-8 bytes, NULs included.
  EXPECT_EQ(tlm_MD5String("\xC3\xA9"), tlm_MD5String(Bytes{0xC3, 0xA9}));
  EXPECT_EQ(tlm_MD5String(std::string_view("a\0b", 3)), tlm_MD5String(Bytes{'a', 0, 'b'}));
}

TEST(MD5, LowEightBytesReadBigEndianAndSigned) {
  // "abc": digest bytes 8..15 are d6 96 3f 7d 28 e1 7f 72, a negative value.
  EXPECT_EQ(tlm_64LSBMD5("abc"), INT64_C(-2984127896297046158));
  // "a": 31 c3 99 e2 69 77 26 61, positive.
  EXPECT_EQ(tlm_64LSBMD5(Bytes{'a'}), INT64_C(0x31c399e269772661));
}

}  // namespace
