#include "storage/mem_row.h"

#include <gtest/gtest.h>

#include "storage/mem_manager.h"
#include "storage/stream_test_util.h"

namespace storage {
namespace {

using testing::LE;
using testing::Utf16;

// A manager keeping the journal, with table T(ID dtInt32, NAME dtWideString).
class Model {
 public:
  Model() {
    m_.UpdatesRegistry = true;
    t_ = &m_.AddTable("T");
    t_->Columns().Add("ID", DataType::dtInt32);
    t_->Columns().Add("NAME", DataType::dtWideString);
  }

  TDAMemRow* Fetch(int32_t id, std::u16string_view name) {
    TDAMemRow* r = t_->NewRow(false);
    r->SetData(0, StoredValue::Of(LE(id)));
    r->SetData(1, StoredValue::Of(Utf16(name)));
    t_->AppendFetchedRow(r);
    return r;
  }
  TDAMemRow* Insert(int32_t id) {
    TDAMemRow* r = t_->NewRow(false);
    r->SetData(0, StoredValue::Of(LE(id)));
    t_->AppendRow(r);
    return r;
  }
  static void Rename(TDAMemRow* r, std::u16string_view name) {
    r->BeginEdit();
    r->SetData(1, StoredValue::Of(Utf16(name)));
    r->EndEdit();
  }
  static std::u16string Name(const TDAMemRow* r, TDAMemRowVersion v) {
    StoredValue value;
    if (!r->GetData(1, value, v)) return u"<null>";
    std::u16string s;
    for (size_t i = 0; i + 1 < value.size; i += 2) {
      s += static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8));
    }
    return s;
  }
  std::vector<uint32_t> JournalRowIDs() const {
    std::vector<uint32_t> ids;
    const auto& j = m_.Journal();
    for (TDAMemRow* r = j.FirstChange(); r != nullptr; r = j.NextChange(r)) {
      ids.push_back(r->RowID());
    }
    return ids;
  }

  TDAMemManager m_;
  TDAMemTable* t_;
};

class RowTest : public ::testing::Test, public Model {};

TEST_F(RowTest, StatesAndVersionsFollowTheChanges) {
  struct Case {
    const char* name;
    std::function<TDAMemRow*(Model&)> make;
    TDAMemRowState state;
    TDAMemRowState prior;
    std::u16string original;  // "<none>" when the version is absent
    std::u16string current;
    std::u16string proposed;
  };
  const std::u16string none = u"<none>";
  const Case cases[] = {
      {"Fetched", [](Model& t) { return t.Fetch(1, u"A"); }, TDAMemRowState::rsUnchanged,
       TDAMemRowState::rsDetached, u"A", none, none},
      {"Inserted",
       [](Model& t) {
         TDAMemRow* r = t.Insert(1);
         return r;
       },
       TDAMemRowState::rsInserted, TDAMemRowState::rsDetached, none, u"<null>", none},
      {"Modified",
       [](Model& t) {
         TDAMemRow* r = t.Fetch(1, u"A");
         Rename(r, u"B");
         return r;
       },
       TDAMemRowState::rsModified, TDAMemRowState::rsUnchanged, u"A", u"B", none},
      {"ModifiedTwice",
       [](Model& t) {
         TDAMemRow* r = t.Fetch(1, u"A");
         Rename(r, u"B");
         Rename(r, u"C");
         return r;
       },
       TDAMemRowState::rsModified, TDAMemRowState::rsUnchanged, u"A", u"C", none},
      {"InsertedThenEdited",
       [](Model& t) {
         TDAMemRow* r = t.Insert(1);
         Rename(r, u"X");
         return r;
       },
       TDAMemRowState::rsInserted, TDAMemRowState::rsDetached, none, u"X", none},
      {"DeletedUnchanged",
       [](Model& t) {
         TDAMemRow* r = t.Fetch(1, u"A");
         r->Delete();
         return r;
       },
       TDAMemRowState::rsDeleted, TDAMemRowState::rsDetached, u"A", none, none},
      {"DeletedModified",
       [](Model& t) {
         TDAMemRow* r = t.Fetch(1, u"A");
         Rename(r, u"B");
         r->Delete();
         return r;
       },
       TDAMemRowState::rsDeleted, TDAMemRowState::rsUnchanged, u"A", u"B", none},
      {"Editing",
       [](Model& t) {
         TDAMemRow* r = t.Fetch(1, u"A");
         r->BeginEdit();
         r->SetData(1, StoredValue::Of(Utf16(u"P")));
         return r;
       },
       TDAMemRowState::rsEditing, TDAMemRowState::rsUnchanged, u"A", none, u"P"},
      {"EditCancelled",
       [](Model& t) {
         TDAMemRow* r = t.Fetch(1, u"A");
         Rename(r, u"B");
         r->BeginEdit();
         r->SetData(1, StoredValue::Of(Utf16(u"P")));
         r->CancelEdit();
         return r;
       },
       TDAMemRowState::rsModified, TDAMemRowState::rsUnchanged, u"A", u"B", none},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Model t;
    const TDAMemRow* r = c.make(t);
    EXPECT_EQ(RowStateName(r->RowState()), RowStateName(c.state));
    EXPECT_EQ(RowStateName(r->RowPriorState()), RowStateName(c.prior));
    auto version = [&](TDAMemRowVersion v) { return r->HasVersion(v) ? Name(r, v) : none; };
    EXPECT_EQ(version(TDAMemRowVersion::rvOriginal), c.original);
    EXPECT_EQ(version(TDAMemRowVersion::rvCurrent), c.current);
    EXPECT_EQ(version(TDAMemRowVersion::rvProposed), c.proposed);
  }
}

TEST_F(RowTest, DefaultVersionFollowsTheState) {
  TDAMemRow* r = Fetch(1, u"A");
  EXPECT_EQ(Name(r, TDAMemRowVersion::rvDefault), u"A");
  Rename(r, u"B");
  EXPECT_EQ(Name(r, TDAMemRowVersion::rvDefault), u"B");
  r->BeginEdit();
  r->SetData(1, StoredValue::Of(Utf16(u"P")));
  EXPECT_EQ(Name(r, TDAMemRowVersion::rvDefault), u"P");
  EXPECT_EQ(Name(r, TDAMemRowVersion::rvPrevious), u"B");
  r->EndEdit();
  r->Delete();
  EXPECT_EQ(Name(r, TDAMemRowVersion::rvDefault), u"A");
}

TEST_F(RowTest, InsertedThenDeletedRowLeavesTheTableAndTheJournal) {
  Fetch(1, u"A");
  TDAMemRow* r = Insert(2);
  EXPECT_EQ(JournalRowIDs(), std::vector<uint32_t>({1}));
  r->Delete();
  EXPECT_EQ(t_->RowCount(), 1u);
  EXPECT_TRUE(JournalRowIDs().empty());
  EXPECT_EQ(t_->FindRow(1), nullptr);
}

TEST_F(RowTest, JournalListsRowsInTheOrderOfTheirLastChange) {
  TDAMemRow* a = Fetch(1, u"A");
  TDAMemRow* b = Fetch(2, u"B");
  Rename(a, u"A2");          // change 0
  TDAMemRow* c = Insert(3);  // change 1
  Rename(b, u"B2");          // change 2
  EXPECT_EQ(JournalRowIDs(), std::vector<uint32_t>({0, 2, 1}));
  // An inserted row edited again keeps its place and number.
  Rename(c, u"C2");
  EXPECT_EQ(JournalRowIDs(), std::vector<uint32_t>({0, 2, 1}));
  EXPECT_EQ(c->ChangeNumber(), 1u);
  // Any other row goes to the end with the next number.
  Rename(a, u"A3");
  EXPECT_EQ(JournalRowIDs(), std::vector<uint32_t>({2, 1, 0}));
  EXPECT_EQ(a->ChangeNumber(), 3u);
  EXPECT_EQ(m_.Journal().ChangeNumber(), 4u);
  // A locked journal keeps every row in place.
  m_.Journal().Lock();
  b->Delete();
  EXPECT_EQ(JournalRowIDs(), std::vector<uint32_t>({2, 1, 0}));
  m_.Journal().Unlock();
  EXPECT_EQ(m_.Journal().GetCount(t_), 3u);
  EXPECT_EQ(m_.Journal().LastChange(t_), a);
}

TEST_F(RowTest, AcceptingMakesChangesTheNewOriginalState) {
  TDAMemRow* a = Fetch(1, u"A");
  TDAMemRow* b = Fetch(2, u"B");
  Rename(a, u"A2");
  TDAMemRow* c = Insert(3);
  b->Delete();
  m_.Journal().AcceptChanges();
  EXPECT_FALSE(m_.Journal().HasChanges());
  EXPECT_EQ(t_->RowCount(), 2u);
  for (TDAMemRow* r : {a, c}) {
    EXPECT_EQ(r->RowState(), TDAMemRowState::rsUnchanged);
    EXPECT_EQ(r->RowPriorState(), TDAMemRowState::rsDetached);
    EXPECT_TRUE(r->HasVersion(TDAMemRowVersion::rvOriginal));
    EXPECT_FALSE(r->HasVersion(TDAMemRowVersion::rvCurrent));
  }
  EXPECT_EQ(Name(a, TDAMemRowVersion::rvOriginal), u"A2");
  EXPECT_EQ(t_->FindRow(1), nullptr);
}

TEST_F(RowTest, RejectingUndoesChanges) {
  TDAMemRow* a = Fetch(1, u"A");
  TDAMemRow* b = Fetch(2, u"B");
  TDAMemRow* d = Fetch(4, u"D");
  Rename(a, u"A2");
  Insert(3);
  b->Delete();
  Rename(d, u"D2");
  d->Delete();
  m_.Journal().RejectChanges();
  EXPECT_FALSE(m_.Journal().HasChanges());
  EXPECT_EQ(t_->RowCount(), 3u);
  EXPECT_EQ(a->RowState(), TDAMemRowState::rsUnchanged);
  EXPECT_EQ(Name(a, TDAMemRowVersion::rvDefault), u"A");
  EXPECT_EQ(b->RowState(), TDAMemRowState::rsUnchanged);
  // A deleted row that had been modified returns to modified.
  EXPECT_EQ(d->RowState(), TDAMemRowState::rsModified);
  EXPECT_EQ(Name(d, TDAMemRowVersion::rvDefault), u"D2");
}

TEST_F(RowTest, SettingASavePointRejectsLaterChanges) {
  TDAMemRow* a = Fetch(1, u"A");
  TDAMemRow* b = Fetch(2, u"B");
  Rename(a, u"A2");  // 0
  Rename(b, u"B2");  // 1
  Insert(3);         // 2
  m_.Journal().SetSavePoint(1);
  EXPECT_EQ(JournalRowIDs(), std::vector<uint32_t>({0}));
  EXPECT_EQ(b->RowState(), TDAMemRowState::rsUnchanged);
  EXPECT_EQ(t_->RowCount(), 2u);
  EXPECT_EQ(m_.Journal().SavePoint(), 1u);
}

TEST_F(RowTest, ATableWithoutManagerKeepsItsOwnJournal) {
  TDAMemTable lone;
  lone.Columns().Add("ID", DataType::dtInt32);
  EXPECT_TRUE(lone.UpdatesRegistry());
  TDAMemRow* r = lone.NewRow(false);
  lone.AppendRow(r);
  EXPECT_EQ(lone.Journal().FirstChange(), r);
  EXPECT_FALSE(t_->UpdatesRegistry());
  Insert(1);
  EXPECT_FALSE(t_->Journal().HasChanges());
  EXPECT_TRUE(m_.Journal().HasChanges(t_));
}

TEST_F(RowTest, PreparingColumnsFailsForMissingOrUnknownTypes) {
  TDAMemTable empty;
  try {
    empty.NewRow();
    FAIL();
  } catch (const EDAException& e) {
    EXPECT_EQ(e.DACode(), 4);
    EXPECT_STREQ(e.what(), "[DataAccess][Mem]-4. No columns defined for table");
  }
  TDAMemTable unknown;
  unknown.Columns().Add("ID", DataType::dtInt32);
  unknown.Columns().Add("X", DataType::dtUnknown);
  try {
    unknown.NewRow();
    FAIL();
  } catch (const EDAException& e) {
    EXPECT_EQ(e.DACode(), 3);
    EXPECT_STREQ(e.what(), "[DataAccess][Mem]-3. Column [X] type is unknown or undefined");
  }
}

TEST_F(RowTest, MisuseIsRefused) {
  TDAMemRow* r = Fetch(1, u"A");
  EXPECT_THROW(r->SetData(0, StoredValue::Of(LE<int32_t>(2))), std::logic_error);
  EXPECT_THROW(t_->Columns().Add("LATE", DataType::dtInt32), std::logic_error);
  EXPECT_THROW(t_->AppendRow(r), std::logic_error);
  TDAMemRow* n = t_->NewRow(false);
  EXPECT_THROW(n->SetData(0, StoredValue::Of(LE<int16_t>(2))), std::invalid_argument);
  EXPECT_THROW(n->SetData(1, StoredValue::Of(testing::Hex("41"))), std::invalid_argument);
  EXPECT_THROW(n->SetData(9, StoredValue::Null()), std::out_of_range);
}

TEST_F(RowTest, OrdinaryValuesGoThroughTheValueCodec) {
  TDAMemRow* r = t_->NewRow(false);
  r->SetValue(0, common::Variant::String(u"17"));
  r->SetValue(1, common::Variant::Null());
  t_->AppendRow(r);
  EXPECT_EQ(r->GetValue(0), common::Variant::Integer(17));
  EXPECT_TRUE(r->GetValue(1).IsNull());
}

TEST_F(RowTest, FindsRowsByRowID) {
  for (int i = 0; i < 10; ++i) Fetch(i, u"x");
  EXPECT_TRUE(t_->RowsOrderedByID());
  EXPECT_EQ(t_->FindRow(7)->RowID(), 7u);
  EXPECT_EQ(t_->FindRow(10), nullptr);
  EXPECT_EQ(t_->NextRowID(), 10u);
}

TEST_F(RowTest, AutoIncrementColumnsContinueAfterTheirValues) {
  TDAMemTable t;
  TDAMemColumn& id = t.Columns().Add("ID", DataType::dtInt64);
  id.AutoIncrement = true;
  id.AutoIncrementSeed = 10;
  id.AutoIncrementStep = 5;
  TDAMemRow* a = t.NewRow();
  t.AppendRow(a);
  TDAMemRow* b = t.NewRow();
  t.AppendRow(b);
  EXPECT_EQ(a->GetValue(0), common::Variant::Int64(10));
  EXPECT_EQ(b->GetValue(0), common::Variant::Int64(15));
}

TEST_F(RowTest, RowErrorsBelongToTheirRow) {
  TDAMemRow* r = Fetch(1, u"A");
  EXPECT_EQ(r->Error(), nullptr);
  r->SetError(std::make_unique<EDAException>(5, "failed", "T"));
  ASSERT_NE(r->Error(), nullptr);
  EXPECT_STREQ(r->Error()->what(), "failed");
  Rename(r, u"B");
  r->Delete();
  m_.Journal().AcceptChanges();
  EXPECT_EQ(t_->RowCount(), 0u);
}

TEST_F(RowTest, ParentRowsAreFoundThroughTheNestedRelation) {
  TDAMemTable& child = m_.AddTable("C");
  child.Columns().Add("P", DataType::dtParentRowRef);
  TDAMemRelation& rel = m_.Relations().Add("R");
  rel.ParentTable = "T";
  rel.ChildTable = "C";
  rel.Nested = true;
  TDAMemRow* parent = Fetch(5, u"P");
  TDAMemRow* r = child.NewRow(false);
  child.AppendFetchedRow(r);
  r->SetParentRowID(parent->RowID());
  EXPECT_EQ(r->ParentRow(), parent);
  r->SetParentRowID(99);
  EXPECT_EQ(r->ParentRow(), nullptr);
  EXPECT_EQ(m_.FirstRootTable(), t_);
}

}  // namespace
}  // namespace storage
