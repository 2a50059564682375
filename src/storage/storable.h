// Storable objects and the process-wide registry of storable classes.
//
// A storable object writes itself as an object item named by its streaming name, holding the
// members that its WriteMembers writes; ReadMembers reads them back in the same order. The
// registry (TDAStorageManager) maps streaming names to classes, so that a list can rebuild
// items of any registered class from their names in the stream.
//
// Threads: storable objects belong to the thread that saves or loads them. The registry is
// shared by every thread: registration and every lookup (with the remembered last name) run
// under its lock FLock. The dataset classes are registered when the registry is first used.
#ifndef DATASERVER_STORAGE_STORABLE_H_
#define DATASERVER_STORAGE_STORABLE_H_

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "storage/bin_storage.h"

namespace storage {

class TDAStorableObject {
 public:
  virtual ~TDAStorableObject() = default;

  // The object's name in a stream of `storage` (which may be absent: the name used for
  // registration). Some objects change their name with the stream version.
  virtual std::string_view StreamingName(const TDABinStorage* storage) const = 0;
  virtual TDAStorageObjectStyle ObjectStyle() const { return TDAStorageObjectStyle::osObject; }

  virtual void WriteMembers(TDABinStorage& storage) const = 0;
  virtual void ReadMembers(TDABinStorage& storage) = 0;

  // Object begin, WriteMembers, object end. The end byte is written also when WriteMembers
  // fails, before the error goes on.
  void SaveToStorage(TDABinStorage& storage) const;
  // Object begin (error 712 unless it carries the streaming name), ReadMembers inside an
  // action scope, object end.
  void LoadFromStorage(TDABinStorage& storage);
};

// Storable classes without members of their own, registered under the generic names.
class TDAObject : public TDAStorableObject {
 public:
  std::string_view StreamingName(const TDABinStorage*) const override { return "Object"; }
  void WriteMembers(TDABinStorage&) const override {}
  void ReadMembers(TDABinStorage&) override {}
};

// A named object: "Name" (String) written only when it differs from the default name.
class TDANamedObject : public TDAStorableObject {
 public:
  TDANamedObject() : name_("NamedObject") {}

  std::string_view StreamingName(const TDABinStorage*) const override { return "NamedObject"; }
  virtual std::string_view DefaultName() const { return "NamedObject"; }

  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }

  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;

 protected:
  // Named objects start with their default name.
  explicit TDANamedObject(std::string default_name) : name_(std::move(default_name)) {}

  std::string name_;
};

// Generic lists of registered objects ("List": any items; "NamedList": items matched by name
// when loaded over an existing list).
class TDAList : public TDAStorableObject {
 public:
  std::string_view StreamingName(const TDABinStorage*) const override { return "List"; }
  TDAStorageObjectStyle ObjectStyle() const override { return TDAStorageObjectStyle::osFlatArray; }
  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;

  std::vector<std::unique_ptr<TDAStorableObject>>& Items() { return items_; }

 protected:
  std::vector<std::unique_ptr<TDAStorableObject>> items_;
};

class TDANamedList : public TDAList {
 public:
  std::string_view StreamingName(const TDABinStorage*) const override { return "NamedList"; }
  TDAStorageObjectStyle ObjectStyle() const override { return TDAStorageObjectStyle::osTypedArray; }
  void ReadMembers(TDABinStorage& storage) override;
};

// Reads the name of the next list item without consuming it: its object begin and then its
// "Name" property (empty when absent).
std::string PeekItemName(TDABinStorage& storage);

class TDAStorageManager {
 public:
  using Creator = std::function<std::unique_ptr<TDAStorableObject>()>;
  using Saver = std::function<void(const TDAStorableObject&, TDABinStorage&)>;
  using Loader = std::function<std::unique_ptr<TDAStorableObject>(TDABinStorage&)>;

  // The registry of the process, with the dataset classes registered.
  static TDAStorageManager& Instance();

  TDAStorageManager() = default;
  TDAStorageManager(const TDAStorageManager&) = delete;
  TDAStorageManager& operator=(const TDAStorageManager&) = delete;

  // Registers a class under its streaming name; a name already present is replaced.
  void RegisterClass(Creator create);
  void RegisterClassAlias(std::string name, Creator create);
  void RegisterClass(std::string streaming_name, Creator create, Loader loader, Saver saver);

  bool IsRegistered(std::string_view name) const;

  // Writes `object` through the registration of its streaming name (error 715 when there is
  // none): its saver, or SaveToStorage.
  void SaveObject(const TDAStorableObject& object, TDABinStorage& storage) const;
  // Reads an object of any registered name: its loader, or a new instance and ReadMembers;
  // then the object end. `attach` (optional) sees the new instance before its members are
  // read, so that a list can check its class and link it to its owner. The caller owns it.
  std::unique_ptr<TDAStorableObject> LoadObject(
      TDABinStorage& storage,
      const std::function<void(TDAStorableObject&)>& attach = nullptr) const;

 private:
  struct Registration {
    std::string name;
    Creator create;
    Loader loader;
    Saver saver;
  };
  // Under FLock: the registration of `name` (exact match), or nullptr.
  const Registration* Find(std::string_view name) const;

  mutable std::mutex FLock;
  std::vector<Registration> FClasses;  // guarded by FLock
  mutable std::string FPrevName;       // guarded by FLock
  mutable size_t FPrevIndex = 0;       // guarded by FLock
};

// Registers the dataset classes (done by Instance(); exposed for tests of other registries).
void RegisterDatasetClasses(TDAStorageManager& manager);

}  // namespace storage

#endif  // DATASERVER_STORAGE_STORABLE_H_
