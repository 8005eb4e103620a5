// Tests of the MD5 digests against the RFC 1321 test suite and of feeding a
// message in pieces.

#include "vek_md5.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string takeText(char* text) {
  std::string copy = text != nullptr ? text : "(null)";
  free(text);
  return copy;
}

// Digest text of `message` fed in pieces of the given sizes, cycling through
// them until the message is used up.
std::string digestInPieces(const std::string& message, const std::vector<unsigned>& pieces) {
  vek_MD5Context* ctx = vek_MD5Init();
  if (ctx == nullptr) return "(no context)";
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(message.data());
  size_t offset = 0;
  for (size_t i = 0; offset < message.size(); ++i) {
    unsigned piece = pieces[i % pieces.size()];
    if (piece > message.size() - offset) piece = static_cast<unsigned>(message.size() - offset);
    vek_MD5Update(ctx, bytes + offset, piece);
    offset += piece;
  }
  unsigned char digest[16];
  vek_MD5Final(digest, ctx);
  return takeText(vek_MD5ToString(digest));
}

TEST(Md5Test, Rfc1321TestSuite) {
  struct Case {
    const char* input;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("\"") + c.input + "\"");
    EXPECT_EQ(takeText(vek_MD5String(c.input)), c.digest);
  }
}

TEST(Md5Test, PiecewiseFeedingGivesTheSameDigest) {
  // Lengths around the 56-byte padding limit and the 64-byte block.
  for (size_t length : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u, 1000u}) {
    std::string message;
    for (size_t i = 0; i < length; ++i) message += static_cast<char>((i * 7 + 3) & 0xFF);
    const std::string whole = digestInPieces(message, {static_cast<unsigned>(length) + 1});
    for (const std::vector<unsigned>& pieces :
         std::vector<std::vector<unsigned>>{{1}, {63}, {64}, {65}, {1, 63, 64, 65}, {0, 5}}) {
      SCOPED_TRACE("length " + std::to_string(length) + ", first piece " + std::to_string(pieces[0]));
      EXPECT_EQ(digestInPieces(message, pieces), whole);
    }
  }
}

TEST(Md5Test, MillionAInPiecesMatchesTheKnownDigest) {
  // Well-known digest of one million "a", fed in pieces that straddle blocks.
  const std::string message(1000000, 'a');
  EXPECT_EQ(digestInPieces(message, {1000}), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5Test, ToStringGivesThirtyTwoLowerCaseHexDigitsInDigestOrder) {
  unsigned char digest[16];
  // Distinct high and low nibbles show their order.
  for (int i = 0; i < 16; ++i) digest[i] = static_cast<unsigned char>(i * 16 + (15 - i));
  const std::string text = takeText(vek_MD5ToString(digest));
  ASSERT_EQ(text.size(), 32u);
  EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos) << text;
  for (int i = 0; i < 16; ++i) {
    SCOPED_TRACE("byte " + std::to_string(i));
    EXPECT_EQ(std::stoul(text.substr(2 * i, 2), nullptr, 16), digest[i]);
  }
  EXPECT_EQ(vek_MD5ToString(nullptr), nullptr);
  EXPECT_EQ(vek_MD5String(nullptr), nullptr);
}

}  // namespace
