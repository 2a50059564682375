#include "storage/errors.h"

#include <gtest/gtest.h>

namespace storage {
namespace {

TEST(Errors, CarryTheSystemsCodesAndTexts) {
  struct Case {
    EDAException error;
    int code;
    const char* message;
  };
  const Case cases[] = {
      {StoreError(710), 710, "[DataAccess][Store]-710. Invalid binary storage format"},
      {StoreError(711, "Name"), 711, "[DataAccess][Store]-711. Cannot read [Name] property"},
      {StoreError(712, "Row"), 712, "[DataAccess][Store]-712. Cannot read [Row] object"},
      {StoreError(713, "Row"), 713,
       "[DataAccess][Store]-713. Cannot read RAW data of [Row] object"},
      {StoreError(714), 714, "[DataAccess][Store]-714. Dictionary overflow"},
      {StoreError(715, "Gadget"), 715, "[DataAccess][Store]-715. Class [Gadget] is not registered"},
      {StoreError(716, "XML"), 716,
       "[DataAccess][Store]-716. Unknown storage format [XML]. Hint: To register it, you can drop "
       "component [TDAStorageXxxLink] into your project"},
      {UnidirectionalDataSetError("qry"), 211,
       "[DataAccess][Comp][DS]-211. Cannot perform operation on unidirectional dataset [qry]"},
      {ColumnTypeUnknownError("X"), 3,
       "[DataAccess][Mem]-3. Column [X] type is unknown or undefined"},
      {NoColumnsError(), 4, "[DataAccess][Mem]-4. No columns defined for table"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(c.error.DACode(), c.code);
    EXPECT_EQ(c.error.code(), c.code);
    EXPECT_EQ(c.error.class_name(), "EDAException");
    EXPECT_EQ(c.error.Message(), c.message);
  }
}

TEST(Errors, EngineErrorsKeepTheirDetailsWhenCopied) {
  const EDADBEngineException e(7, "engine failed", "qry", {{1, 2, 3, "first", "obj", 4, 5}});
  EXPECT_EQ(e.class_name(), "EDADBEngineException");
  const std::unique_ptr<EDAException> copy = e.Clone();
  const auto* engine = dynamic_cast<const EDADBEngineException*>(copy.get());
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(engine->DAObjName(), "qry");
  ASSERT_EQ(engine->Errors().size(), 1u);
  EXPECT_EQ(engine->Errors()[0].Message, "first");
  const common::Error& base = e;
  EXPECT_EQ(base.code(), 7);
}

}  // namespace
}  // namespace storage
