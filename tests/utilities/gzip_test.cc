// Gzip helpers: interoperability with the system's gzip, failure paths and
// the inflated-size limit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "utilities/HRNGzip.h"

namespace {

namespace fs = std::filesystem;

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

class GzipFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "hrn_gzip_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
  }
  void TearDown() override { fs::remove_all(directory_); }

  void writeFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good());
  }

  Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // Runs a shell command and answers its exit status.
  int run(const std::string& command) { return std::system(command.c_str()); }

  fs::path directory_;
};

TEST_F(GzipFiles, SystemGzipReadsOurOutput) {
  for (const Bytes& data :
       {Bytes{}, textBytes("hello, gzip"), randomBytes(200000, 1), Bytes(300000, 'z')}) {
    const fs::path compressed = directory_ / "ours.gz";
    const fs::path plain = directory_ / "plain";
    writeFile(compressed, gzipOrDie(data));
    ASSERT_EQ(run("gzip -dc '" + compressed.string() + "' > '" + plain.string() + "'"), 0);
    EXPECT_EQ(readFile(plain), data) << "size " << data.size();
  }
}

TEST_F(GzipFiles, WeInflateSystemGzipOutput) {
  for (const Bytes& data : {Bytes{}, textBytes("hello, gzip"), randomBytes(200000, 2)}) {
    const fs::path plain = directory_ / "plain";
    const fs::path compressed = directory_ / "theirs.gz";
    writeFile(plain, data);
    ASSERT_EQ(run("gzip -9 -c '" + plain.string() + "' > '" + compressed.string() + "'"), 0);
    Error error;
    std::optional<Bytes> inflated = hrn_dataByInflatingGzippedData(readFile(compressed), &error);
    ASSERT_TRUE(inflated.has_value()) << error.toString();
    EXPECT_EQ(*inflated, data);
  }
}

TEST(Gzip, EmptyInputGivesAValidStream) {
  const Bytes compressed = gzipOrDie({});
  ASSERT_GE(compressed.size(), 18u);  // 10-byte header, empty block, 8-byte trailer
  EXPECT_EQ(compressed[0], 0x1f);
  EXPECT_EQ(compressed[1], 0x8b);
  std::optional<Bytes> inflated = hrn_dataByInflatingGzippedData(compressed, nullptr);
  ASSERT_TRUE(inflated.has_value());
  EXPECT_TRUE(inflated->empty());
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
  Error error;

  EXPECT_FALSE(hrn_dataByInflatingGzippedData(data, &error).has_value());
  EXPECT_EQ(error.code, kHRNGzipErrorCodeCorrupt);
  EXPECT_FALSE(error.description.value_or("").empty());

  Bytes badChecksum = compressed;
  badChecksum[badChecksum.size() - 8] ^= 0x01;  // first CRC-32 byte
  EXPECT_FALSE(hrn_dataByInflatingGzippedData(badChecksum, &error).has_value());
  EXPECT_EQ(error.code, kHRNGzipErrorCodeCorrupt);

  Bytes badLength = compressed;
  badLength[badLength.size() - 1] ^= 0x01;  // ISIZE
  EXPECT_FALSE(hrn_dataByInflatingGzippedData(badLength, &error).has_value());
  EXPECT_EQ(error.code, kHRNGzipErrorCodeCorrupt);

  Bytes trailing = concat(compressed, textBytes("junk"));
  EXPECT_FALSE(hrn_dataByInflatingGzippedData(trailing, &error).has_value());
  EXPECT_EQ(error.code, kHRNGzipErrorCodeCorrupt);

  // Any single flipped byte is refused or, if the damage happens to
  // decode, still never crashes; the checksum catches damaged payloads.
  for (std::size_t i = 10; i + 8 < compressed.size(); ++i) {
    Bytes damaged = compressed;
    damaged[i] ^= 0x5a;
    std::optional<Bytes> inflated = hrn_dataByInflatingGzippedData(damaged, nullptr);
    EXPECT_FALSE(inflated.has_value() && *inflated != data) << i;
  }
}

TEST(Gzip, SizeLimitIsEnforcedAtTheBoundary) {
  const Bytes data = randomBytes(1000, 5);
  const Bytes compressed = gzipOrDie(data);
  EXPECT_TRUE(hrn_dataByInflatingGzippedDataWithLimit(compressed, 1000, nullptr).has_value());
  Error error;
  EXPECT_FALSE(hrn_dataByInflatingGzippedDataWithLimit(compressed, 999, &error).has_value());
  EXPECT_EQ(error.code, kHRNGzipErrorCodeTooLarge);
}

TEST(Gzip, DefaultLimitStopsAGzipBomb) {
  // kHRNGzipMaxInflatedSize zero bytes compress to about 64 KiB.
  const Bytes atLimit = gzipOrDie(Bytes(kHRNGzipMaxInflatedSize, 0));
  ASSERT_LT(atLimit.size(), 128u * 1024);
  std::optional<Bytes> inflated = hrn_dataByInflatingGzippedData(atLimit, nullptr);
  ASSERT_TRUE(inflated.has_value());
  EXPECT_EQ(inflated->size(), kHRNGzipMaxInflatedSize);
  inflated.reset();
  // One byte more, carried by a second member, is refused.
  Error error;
  EXPECT_FALSE(
      hrn_dataByInflatingGzippedData(concat(atLimit, gzipOrDie(Bytes{0})), &error).has_value());
  EXPECT_EQ(error.code, kHRNGzipErrorCodeTooLarge);
}

}  // namespace
