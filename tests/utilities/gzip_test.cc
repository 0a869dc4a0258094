// Gzip helpers: interoperability with the system's gzip, failure paths and
// the inflated-size limit.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "support/TempFolder.h"
#include "utilities/HRNGzip.h"

namespace {

Bytes randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  Bytes bytes(size);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
  return bytes;
}

Bytes textBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes gzipOrDie(const Bytes& data) {
  Error error;
  std::optional<Bytes> compressed = hrn_dataByGzippingData(data, &error);
  EXPECT_TRUE(compressed.has_value()) << error.toString();
  return compressed.value_or(Bytes{});
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(Gzip, SystemGzipAndOursReadEachOther) {
  TempFolder folder;
  for (const Bytes& data :
       {Bytes{}, textBytes("hello, gzip"), randomBytes(200000, 1), Bytes(300000, 'z')}) {
    SCOPED_TRACE(data.size());
    writeBytesFile(folder / "ours.gz", gzipOrDie(data));
    ASSERT_EQ(
        std::system(("gzip -dc '" + folder / "ours.gz" + "' > '" + folder / "plain" + "'").c_str()),
        0);
    EXPECT_EQ(readBytesFile(folder / "plain"), data);

    writeBytesFile(folder / "plain", data);
    ASSERT_EQ(
        std::system(
            ("gzip -9 -c '" + folder / "plain" + "' > '" + folder / "theirs.gz" + "'").c_str()),
        0);
    Error error;
    std::optional<Bytes> inflated =
        hrn_dataByInflatingGzippedData(readBytesFile(folder / "theirs.gz"), &error);
    ASSERT_TRUE(inflated.has_value()) << error.toString();
    EXPECT_EQ(*inflated, data);
  }
}

TEST(Gzip, ConcatenatedMembersAreJoined) {
  const Bytes first = textBytes("first member;");
  const Bytes second = randomBytes(70000, 3);
  std::optional<Bytes> inflated =
      hrn_dataByInflatingGzippedData(concat(gzipOrDie(first), gzipOrDie(second)), nullptr);
  ASSERT_TRUE(inflated.has_value());
  EXPECT_EQ(*inflated, concat(first, second));
}

TEST(Gzip, EmptyAndTruncatedInputIsRefused) {
  Error error;
  EXPECT_FALSE(hrn_dataByInflatingGzippedData({}, &error).has_value());
  EXPECT_EQ(error.domain, kHRNGzipErrorDomain);
  EXPECT_EQ(error.code, kHRNGzipErrorCodeTruncated);

  const Bytes compressed = gzipOrDie(randomBytes(5000, 4));
  for (std::size_t length = 1; length < compressed.size(); ++length) {
    error = Error{};
    const Bytes prefix(compressed.begin(), compressed.begin() + static_cast<long>(length));
    EXPECT_FALSE(hrn_dataByInflatingGzippedData(prefix, &error).has_value()) << length;
    EXPECT_EQ(error.code, kHRNGzipErrorCodeTruncated) << length << " " << error.toString();
  }
  // A second member cut short fails the whole stream.
  const Bytes member = gzipOrDie(textBytes("x"));
  const Bytes cut = concat(member, Bytes(member.begin(), member.begin() + 5));
  EXPECT_FALSE(hrn_dataByInflatingGzippedData(cut, nullptr).has_value());
}

TEST(Gzip, CorruptInputIsRefused) {
  const Bytes data = textBytes("The quick brown fox jumps over the lazy dog, twice over.");
  const Bytes compressed = gzipOrDie(data);
  Bytes badChecksum = compressed;
  badChecksum[badChecksum.size() - 8] ^= 0x01;  // first CRC-32 byte
  Bytes badLength = compressed;
  badLength[badLength.size() - 1] ^= 0x01;  // ISIZE
  for (const Bytes& corrupt :
       {data, badChecksum, badLength, concat(compressed, textBytes("junk"))}) {
    Error error;
    EXPECT_FALSE(hrn_dataByInflatingGzippedData(corrupt, &error).has_value());
    EXPECT_EQ(error.code, kHRNGzipErrorCodeCorrupt);
    EXPECT_FALSE(error.description.value_or("").empty());
  }
  // Any single flipped byte is refused or, if the damage happens to
  // decode, never yields other data: the checksum catches it.
  for (std::size_t i = 10; i + 8 < compressed.size(); ++i) {
    Bytes damaged = compressed;
    damaged[i] ^= 0x5a;
    std::optional<Bytes> inflated = hrn_dataByInflatingGzippedData(damaged, nullptr);
    EXPECT_FALSE(inflated.has_value() && *inflated != data) << i;
  }
}

TEST(Gzip, SizeLimitIsEnforcedAtTheBoundary) {
  const Bytes compressed = gzipOrDie(randomBytes(1000, 5));
  EXPECT_TRUE(hrn_dataByInflatingGzippedDataWithLimit(compressed, 1000, nullptr).has_value());
  Error error;
  EXPECT_FALSE(hrn_dataByInflatingGzippedDataWithLimit(compressed, 999, &error).has_value());
  EXPECT_EQ(error.code, kHRNGzipErrorCodeTooLarge);

  // The default limit stops a gzip bomb: that many zero bytes compress to
  // about 64 KiB, and one byte more, carried by a second member, is refused.
  const Bytes atLimit = gzipOrDie(Bytes(kHRNGzipMaxInflatedSize, 0));
  ASSERT_LT(atLimit.size(), 128u * 1024);
  EXPECT_EQ(hrn_dataByInflatingGzippedData(atLimit, nullptr).value_or(Bytes{}).size(),
            kHRNGzipMaxInflatedSize);
  EXPECT_FALSE(
      hrn_dataByInflatingGzippedData(concat(atLimit, gzipOrDie(Bytes{0})), &error).has_value());
  EXPECT_EQ(error.code, kHRNGzipErrorCodeTooLarge);
}

}  // namespace
