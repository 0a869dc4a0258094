#include <gtest/gtest.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "wire_check.pb.h"

namespace {

char* copyString(const char* text) {
  char* copy = static_cast<char*>(std::malloc(std::strlen(text) + 1));
  std::strcpy(copy, text);
  return copy;
}

std::vector<pb_byte_t> encode(const WireCheck& message) {
  size_t size = 0;
  EXPECT_TRUE(pb_get_encoded_size(&size, WireCheck_fields, &message));
  std::vector<pb_byte_t> buffer(size);
  pb_ostream_t stream = pb_ostream_from_buffer(buffer.data(), buffer.size());
  EXPECT_TRUE(pb_encode(&stream, WireCheck_fields, &message)) << PB_GET_ERROR(&stream);
  buffer.resize(stream.bytes_written);
  return buffer;
}

TEST(NanopbBuild, PointerFieldsEncodeToTheExpectedBytesAndDecodeBack) {
  WireCheck message = WireCheck_init_zero;
  message.text = copyString("hi");
  message.leaves_count = 1;
  message.leaves = static_cast<WireCheckLeaf*>(std::calloc(1, sizeof(WireCheckLeaf)));
  message.leaves[0].name = copyString("a");
  message.leaves[0].number = static_cast<int64_t*>(std::malloc(sizeof(int64_t)));
  *message.leaves[0].number = -1;

  // text: tag 1 wire type 2 "hi"; leaves: tag 2 wire type 2, length 5,
  // { name: 0x0a 01 'a', number: 0x10 zigzag(-1) = 01 }.
  const std::vector<pb_byte_t> expected = {0x0a, 0x02, 'h', 'i', 0x12, 0x05,
                                           0x0a, 0x01, 'a', 0x10, 0x01};
  EXPECT_EQ(encode(message), expected);

  WireCheck decoded = WireCheck_init_zero;
  pb_istream_t input = pb_istream_from_buffer(expected.data(), expected.size());
  ASSERT_TRUE(pb_decode(&input, WireCheck_fields, &decoded)) << PB_GET_ERROR(&input);
  ASSERT_NE(decoded.text, nullptr);
  EXPECT_STREQ(decoded.text, "hi");
  ASSERT_EQ(decoded.leaves_count, 1u);
  EXPECT_STREQ(decoded.leaves[0].name, "a");
  ASSERT_NE(decoded.leaves[0].number, nullptr);
  EXPECT_EQ(*decoded.leaves[0].number, -1);
  EXPECT_EQ(decoded.blob, nullptr);

  pb_release(WireCheck_fields, &message);
  pb_release(WireCheck_fields, &decoded);
}

TEST(NanopbBuild, TruncatedInputFailsWithoutLeaking) {
  const std::vector<pb_byte_t> truncated = {0x0a, 0x05, 'h', 'i'};
  WireCheck decoded = WireCheck_init_zero;
  pb_istream_t input = pb_istream_from_buffer(truncated.data(), truncated.size());
  EXPECT_FALSE(pb_decode(&input, WireCheck_fields, &decoded));
  pb_release(WireCheck_fields, &decoded);
}

}  // namespace
