#include "protocol/transport_filter.h"

#include <gtest/gtest.h>

#include "protocol/compression_filter.h"
#include "protocol/rdb_error.h"

namespace protocol {
namespace {

TEST(TransportFilterFactory, CreatesTheCompressionFilter) {
  EXPECT_TRUE(TTransportFilterFactory::IsRegistered("ZLibCompression"));
  auto filter = TTransportFilterFactory::Create("ZLibCompression");
  ASSERT_NE(filter, nullptr);
  EXPECT_NE(dynamic_cast<TTransportCompressionFilter*>(filter.get()), nullptr);
}

TEST(TransportFilterFactory, UnknownIdsAreNotFound) {
  for (const char* id : {"PC1", "RSA", "zlibcompression", "", "Bogus"}) {
    SCOPED_TRACE(id);
    try {
      TTransportFilterFactory::Create(id);
      FAIL() << "created";
    } catch (const TRDBError& e) {
      EXPECT_EQ(std::string(e.what()), std::string(id) + " Filter not found");
      EXPECT_EQ(e.code(), 24);
      EXPECT_EQ(e.class_name(), "TRDBError");
    }
  }
}

TEST(TransportFilterFactory, CreatorWithoutAnObjectIsNotRegistered) {
  TTransportFilterFactory::Register("Hollow", [] { return std::unique_ptr<TTransportFilter>(); });
  try {
    TTransportFilterFactory::Create("Hollow");
    FAIL() << "created";
  } catch (const TRDBError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Communication filter Hollow is not registered. Filter class needs to be "
              "registered in order to communicate with the server.");
  }
}

TEST(TransportFilterFactory, ConnectionFiltersCopyUserParameters) {
  FilterList configured;
  configured.push_back(std::make_unique<TTransportCompressionFilter>());
  ASSERT_TRUE(configured[0]->SetParameterValue("CompressMoreThan", "4096"));
  FilterList own = MakeConnectionFilters(configured);
  ASSERT_EQ(own.size(), 1u);
  EXPECT_NE(own[0].get(), configured[0].get());
  EXPECT_EQ(own[0]->GetParameterValue("CompressMoreThan"), "4096");
}

}  // namespace
}  // namespace protocol
