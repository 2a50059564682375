#include "storage/change_set.h"

#include <gtest/gtest.h>

#include "storage/dataset_stream.h"
#include "storage/stream_test_util.h"

namespace storage {
namespace {

using common::Variant;

TEST(ChangeSet, GivesTheChangedRowsInJournalOrder) {
  const TDAChangeSet set = TDAChangeSet::Load(testing::ChangeSetExampleBytes());
  EXPECT_TRUE(set.JournalFound());
  EXPECT_TRUE(set.CachedUpdates());
  EXPECT_EQ(set.Table().Name(), "T");
  ASSERT_EQ(set.Columns().size(), 2u);
  EXPECT_EQ(set.Columns()[1].Name(), "NAME");
  EXPECT_EQ(set.Columns()[1].DataType, DataType::dtWideString);
  EXPECT_TRUE(set.Columns()[1].Options().Has(TDADataOption::coInWhere));
  EXPECT_FALSE(set.Columns()[1].Options().Has(TDADataOption::coInKey));

  ASSERT_EQ(set.Changes().size(), 3u);
  const TDAChange& modified = set.Changes()[0];
  EXPECT_EQ(modified.State(), TDAMemRowState::rsModified);
  EXPECT_EQ(modified.RowID(), 1u);
  EXPECT_EQ(modified.ChangeNumber(), 0u);
  EXPECT_EQ(modified.OriginalValue(1), Variant::String(u"B"));
  EXPECT_EQ(modified.CurrentValue(1), Variant::String(u"C"));
  EXPECT_EQ(testing::ToHex(modified.Original(0).bytes()), "02 00 00 00");

  const TDAChange& inserted = set.Changes()[1];
  EXPECT_EQ(inserted.State(), TDAMemRowState::rsInserted);
  EXPECT_FALSE(inserted.HasOriginal());
  EXPECT_FALSE(inserted.Original(0).present);
  EXPECT_EQ(inserted.CurrentValue(0), Variant::Integer(3));

  const TDAChange& deleted = set.Changes()[2];
  EXPECT_EQ(deleted.State(), TDAMemRowState::rsDeleted);
  EXPECT_TRUE(deleted.HasOriginal());
  EXPECT_FALSE(deleted.HasCurrent());
  EXPECT_EQ(deleted.OriginalValue(1), Variant::String(u"E"));
}

TEST(ChangeSet, TellsANoJournalFromAnEmptyJournal) {
  TDAMemManager changed;
  testing::BuildChangeSetExample(changed);
  TDAResOptions no_delta;
  no_delta.StoreItems = {TDAStoreItem::siMeta, TDAStoreItem::siData};
  common::Bytes without_journal;
  SaveToStream(changed, without_journal, &no_delta);

  struct Case {
    const char* name;
    common::Bytes stream;
    bool journal;
  };
  const Case cases[] = {
      // Rows marked inserted, modified and deleted, but no journal travels.
      {"NoJournal", without_journal, false},
      // A journal that lists no change.
      {"EmptyJournal", testing::ResultExampleBytes(), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TDAChangeSet set = TDAChangeSet::Load(c.stream);
    EXPECT_EQ(set.JournalFound(), c.journal);
    EXPECT_FALSE(set.CachedUpdates());
    EXPECT_TRUE(set.Changes().empty());
  }
}

TEST(ChangeSet, ChangesOfAnotherTableAreNotThisTables) {
  TDAMemManager m;
  m.UpdatesRegistry = true;
  m.AddTable("A").Columns().Add("ID", DataType::dtInt32);
  TDAMemTable& b = m.AddTable("B");
  b.Columns().Add("ID", DataType::dtInt32);
  b.AppendRow(b.NewRow(false));
  common::Bytes stream;
  SaveToStream(m, stream);
  const TDAChangeSet set = TDAChangeSet::Load(stream);
  EXPECT_EQ(set.Table().Name(), "A");
  EXPECT_TRUE(set.JournalFound());
  EXPECT_FALSE(set.CachedUpdates());
  EXPECT_TRUE(set.Changes().empty());
}

TEST(ChangeSet, AStreamWithoutATableIsRefused) {
  TDAMemManager empty;
  common::Bytes stream;
  SaveToStream(empty, stream);
  try {
    TDAChangeSet::Load(stream);
    FAIL();
  } catch (const EDAException& e) {
    EXPECT_STREQ(e.what(), "[DataAccess][Store]-712. Cannot read [Table] object");
  }
}

TEST(ChangeSet, OlderClientsStreamsLoadToo) {
  TDAMemManager m;
  testing::BuildChangeSetExample(m);
  for (int version : {3, 8, 10}) {
    SCOPED_TRACE(version);
    TDAResOptions options;
    options.StoreVersion = version;
    common::Bytes stream;
    SaveToStream(m, stream, &options);
    const TDAChangeSet set = TDAChangeSet::Load(stream);
    ASSERT_EQ(set.Changes().size(), 3u);
    EXPECT_EQ(set.Changes()[0].CurrentValue(1), Variant::String(u"C"));
  }
}

}  // namespace
}  // namespace storage
