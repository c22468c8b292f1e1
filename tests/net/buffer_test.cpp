#include "net/buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace tessarine::net {
namespace {

std::string Text(const TIdBuffer& buffer) {
  return std::string(reinterpret_cast<const char*>(buffer.Data()), buffer.Size());
}

TEST(BufferFifo, AppendsAtTheEndAndReadsFromTheFront) {
  TIdBuffer buffer;
  size_t removed = 0;
  buffer.SetOnBytesRemoved([&](size_t count) { removed += count; });
  buffer.Write(std::string_view("hello "));
  buffer.Write(std::string_view("world"));
  std::vector<uint8_t> out{'>'};
  buffer.ExtractToBytes(out, 5);
  EXPECT_EQ(std::string(out.begin(), out.end()), ">hello");
  EXPECT_EQ(buffer.HeadIndex(), 5u);
  buffer.Remove(100);
  EXPECT_TRUE(buffer.Empty());
  EXPECT_EQ(buffer.HeadIndex(), 0u);
  EXPECT_EQ(removed, 11u);
}

TEST(BufferFifo, ReadPartIsReclaimedPastTheGrowthFactor) {
  TIdBuffer buffer;
  buffer.Write(std::string(3000, 'a') + "tail");
  buffer.Remove(2500);
  EXPECT_EQ(buffer.HeadIndex(), 0u);
  EXPECT_EQ(Text(buffer), std::string(500, 'a') + "tail");
}

TEST(BufferFifo, ManySmallReadsKeepTheContent) {
  TIdBuffer buffer;
  std::string expected;
  for (int round = 0; round < 200; ++round) {
    const std::string chunk(97, static_cast<char>('a' + round % 26));
    buffer.Write(chunk);
    expected += chunk;
    std::vector<uint8_t> out;
    buffer.ExtractToBytes(out, 61);
    ASSERT_EQ(std::string(out.begin(), out.end()), expected.substr(0, 61));
    expected.erase(0, 61);
  }
  EXPECT_EQ(Text(buffer), expected);
}

TEST(BufferSearch, IndexOfCountsFromTheFirstUnreadByte) {
  TIdBuffer buffer;
  buffer.Write(std::string_view("xxab\r\ncd\r\n"));
  buffer.Remove(2);
  const std::vector<uint8_t> crlf{'\r', '\n'};
  EXPECT_EQ(buffer.IndexOf(crlf), 2);
  EXPECT_EQ(buffer.IndexOf(crlf, 3), 6);
  EXPECT_EQ(buffer.IndexOf(crlf, 7), -1);
  EXPECT_EQ(buffer.IndexOf(crlf, 100), -1);
  EXPECT_EQ(buffer.IndexOf(std::vector<uint8_t>{}), -1);
  EXPECT_EQ(buffer.IndexOf(std::vector<uint8_t>{'d', '\r', '\n', '!'}), -1);
}

}  // namespace
}  // namespace tessarine::net
