#include "client/payload.h"

#include <gtest/gtest.h>

#include "common/error.h"

namespace client {
namespace {

TEST(Payload, CompressedPayloadRoundTrips) {
  common::Bytes data(200000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 % 13);
  const common::Variant packed = CompressedPayload(data);
  ASSERT_TRUE(packed.IsByteArray());
  const std::optional<common::Bytes> compressed = PayloadBytes(packed);
  ASSERT_TRUE(compressed.has_value());
  EXPECT_EQ((*compressed)[0], 0x78);  // a zlib header
  EXPECT_LT(compressed->size(), data.size());
  EXPECT_EQ(DecompressPayload(*compressed), data);
  EXPECT_EQ(DecompressPayload(*PayloadBytes(CompressedPayload({}))), common::Bytes());
  EXPECT_EQ(*PayloadBytes(BytesPayload(data)), data);
}

TEST(Payload, BadCompressedDataIsRefused) {
  const common::Bytes zeros(1 << 20, 0);
  const common::Bytes compressed = *PayloadBytes(CompressedPayload(zeros));
  const common::Bytes truncated(compressed.begin(), compressed.end() - 8);
  const common::Bytes garbage = {1, 2, 3, 4, 5};
  EXPECT_THROW(DecompressPayload(compressed, 1000), common::Error);  // inflates past the cap
  EXPECT_THROW(DecompressPayload(truncated), common::Error);
  EXPECT_THROW(DecompressPayload(garbage), common::Error);
  EXPECT_EQ(DecompressPayload(compressed, zeros.size()), zeros);
}

TEST(Payload, OnlyByteArraysHaveBytes) {
  EXPECT_FALSE(PayloadBytes(common::Variant::Null()).has_value());
  EXPECT_FALSE(PayloadBytes(common::Variant()).has_value());
  EXPECT_FALSE(PayloadBytes(common::Variant::String(u"x")).has_value());
}

}  // namespace
}  // namespace client
