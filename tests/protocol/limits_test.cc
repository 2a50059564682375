#include "protocol/limits.h"

#include <gtest/gtest.h>

namespace protocol {
namespace {

TEST(Limits, BufferSizesAreClampedTo1To1000KiB) {
  struct Case {
    int64_t kb;
    size_t bytes;
  };
  for (const Case& c : {Case{32, 32768}, Case{0, 1024}, Case{-5, 1024}, Case{1, 1024},
                        Case{1000, 1024000}, Case{5000, 1024000}}) {
    EXPECT_EQ(BufferSizeFromKB(c.kb), c.bytes) << c.kb;
  }
  EXPECT_EQ(kDefaultBufferSize, 8192u);
  EXPECT_EQ(Limits{}.max_frame, 256u << 20);
}

}  // namespace
}  // namespace protocol
