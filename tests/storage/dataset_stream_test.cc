#include "storage/dataset_stream.h"

#include <gtest/gtest.h>

#include "storage/stream_test_util.h"

namespace storage {
namespace {

using testing::ChangeSetExampleBytes;
using testing::ResultExampleBytes;
using testing::ToHex;

TEST(DatasetStream, WritesTheResultExampleByteForByte) {
  TDAMemManager m;
  testing::BuildResultExample(m);
  common::Bytes out;
  SaveToStream(m, out);
  const common::Bytes expected = ResultExampleBytes();
  ASSERT_EQ(expected.size(), 532u);
  EXPECT_EQ(ToHex(out), ToHex(expected));
}

TEST(DatasetStream, WritesTheChangeSetExampleByteForByte) {
  TDAMemManager m;
  testing::BuildChangeSetExample(m);
  common::Bytes out;
  EXPECT_EQ(SaveToStream(m, out), 3u);
  const common::Bytes expected = ChangeSetExampleBytes();
  ASSERT_EQ(expected.size(), 1005u);
  EXPECT_EQ(ToHex(out), ToHex(expected));
}

}  // namespace
}  // namespace storage
