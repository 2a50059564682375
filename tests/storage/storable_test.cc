#include "storage/storable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "storage/mem_manager.h"
#include "storage/stream_test_util.h"

namespace storage {
namespace {

class Gadget : public TDANamedObject {
 public:
  Gadget() : TDANamedObject("Gadget") {}
  std::string_view StreamingName(const TDABinStorage*) const override { return "Gadget"; }
  std::string_view DefaultName() const override { return "Gadget"; }
  void WriteMembers(TDABinStorage& s) const override {
    TDANamedObject::WriteMembers(s);
    s.WriteInteger("Size", size, 0);
  }
  void ReadMembers(TDABinStorage& s) override {
    TDANamedObject::ReadMembers(s);
    size = s.ReadInteger("Size", 0);
  }
  int32_t size = 0;
};

class Failing : public TDAStorableObject {
 public:
  std::string_view StreamingName(const TDABinStorage*) const override { return "Failing"; }
  void WriteMembers(TDABinStorage& s) const override {
    s.WriteInteger("A", 1, 0);
    throw std::runtime_error("member failed");
  }
  void ReadMembers(TDABinStorage&) override {}
};

TEST(Registry, KnowsTheDatasetClasses) {
  const TDAStorageManager& m = TDAStorageManager::Instance();
  for (const char* name : {"Object",
                           "NamedObject",
                           "List",
                           "NamedList",
                           "Column",
                           "ColumnList",
                           "ConstraintBase",
                           "ConstraintList",
                           "UniqueConstraint",
                           "ForeignKeyConstraint",
                           "CheckConstraint",
                           "Relation",
                           "RelationList",
                           "MechBase",
                           "ViewMechList",
                           "MechSort",
                           "MechRowState",
                           "MechRange",
                           "MechFilter",
                           "MechError",
                           "MechDetails",
                           "MechChilds",
                           "MechMaster",
                           "MechParent",
                           "Row",
                           "MemRow",
                           "RowList",
                           "View",
                           "ViewList",
                           "Aggregate",
                           "AggregateList",
                           "Table",
                           "TableList",
                           "Manager",
                           "Exception",
                           "DBEngineException"}) {
    EXPECT_TRUE(m.IsRegistered(name)) << name;
  }
  // Names compare exactly.
  EXPECT_FALSE(m.IsRegistered("column"));
}

TEST(Registry, SavesAndLoadsThroughRegistrations) {
  TDAStorageManager registry;
  registry.RegisterClass([] { return std::make_unique<Gadget>(); });
  common::Bytes out;
  auto w = TDABinStorage::OpenWrite(out);
  Gadget g;
  g.SetName("G1");
  g.size = 7;
  registry.SaveObject(g, *w);
  w->Close();

  auto r = TDABinStorage::OpenRead(out);
  auto loaded = registry.LoadObject(*r);
  auto* back = dynamic_cast<Gadget*>(loaded.get());
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->Name(), "G1");
  EXPECT_EQ(back->size, 7);

  // Unknown names fail with 715 both ways.
  TDAStorageManager other;
  auto r2 = TDABinStorage::OpenRead(out);
  try {
    other.LoadObject(*r2);
    FAIL();
  } catch (const EDAException& e) {
    EXPECT_STREQ(e.what(), "[DataAccess][Store]-715. Class [Gadget] is not registered");
  }
  common::Bytes more;
  auto w2 = TDABinStorage::OpenWrite(more);
  EXPECT_THROW(other.SaveObject(g, *w2), EDAException);
}

TEST(Registry, LaterRegistrationsReplaceEarlierOnes) {
  TDAStorageManager registry;
  int made = 0;
  registry.RegisterClass(
      "Gadget", [] { return std::make_unique<Gadget>(); }, nullptr, nullptr);
  registry.RegisterClass(
      "Gadget",
      [&made] {
        ++made;
        return std::make_unique<Gadget>();
      },
      nullptr, nullptr);
  registry.RegisterClassAlias("Widget", [] { return std::make_unique<Gadget>(); });
  const common::Bytes stream =
      testing::Container(15, testing::Hex("FF 00 FE FF 01 FE"), {"Gadget", "Widget"});
  auto r = TDABinStorage::OpenRead(stream);
  registry.LoadObject(*r);
  EXPECT_EQ(made, 1);
  EXPECT_NE(dynamic_cast<Gadget*>(registry.LoadObject(*r).get()), nullptr);
}

TEST(Registry, AFailedSaveStillEndsItsObject) {
  common::Bytes out;
  auto w = TDABinStorage::OpenWrite(out);
  EXPECT_THROW(Failing().SaveToStorage(*w), std::runtime_error);
  w->Close();
  EXPECT_EQ(testing::ToHex(out),
            testing::ToHex(testing::Container(15, testing::Hex("FF 00 01 00 01 00 00 00 FE"),
                                              {"Failing", "A"})));
}

TEST(Registry, IsSharedByThreads) {
  // Every load looks its classes up in the one registry; loads run in parallel.
  TDAMemManager m;
  testing::BuildChangeSetExample(m);
  common::Bytes stream;
  auto w = TDABinStorage::OpenWrite(stream);
  m.SaveToStorage(*w);
  w->Close();
  std::atomic<int> loaded{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        TDAMemManager copy;
        auto r = TDABinStorage::OpenRead(stream);
        copy.LoadFromStorage(*r);
        if (copy.Tables().size() == 1) ++loaded;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(loaded.load(), 200);
}

}  // namespace
}  // namespace storage
