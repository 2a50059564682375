// Loading of the named lists of the table model (tables, columns, constraints, views,
// aggregates, relations): an item whose name is already in the list is loaded in place, any
// other object is built from the class registry and appended. Used on the loading thread.
#ifndef DATASERVER_STORAGE_INTERNAL_NAMED_LIST_H_
#define DATASERVER_STORAGE_INTERNAL_NAMED_LIST_H_

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/text.h"
#include "storage/bin_storage.h"
#include "storage/storable.h"

namespace storage::internal {

// Loads list items until the list's end byte. `item_kind` names the expected object in the
// error 712 raised for an object of a class that does not belong in the list; `attach` links
// a new item to its owner before its members are read; `first` (may be null) is the item
// taken for the list's first object when no item has its name.
template <typename Item>
void LoadNamedItems(TDABinStorage& storage, std::vector<std::unique_ptr<Item>>& items,
                    std::string_view item_kind, const std::function<void(Item&)>& attach,
                    Item* first = nullptr) {
  std::unordered_map<std::string, Item*> by_name;
  for (auto& item : items) by_name.emplace(item->Name(), item.get());
  bool first_object = true;
  while (!storage.IsObjectEnd()) {
    const auto bookmark = storage.GetBookmark();
    const std::string object_name(storage.ReadObjectBegin());
    const std::string name = storage.ReadString("Name", "");
    storage.SetBookmark(bookmark);

    Item* found = nullptr;
    if (auto it = by_name.find(name); it != by_name.end()) {
      found = it->second;
    } else if (first_object) {
      found = first;
    }
    first_object = false;

    if (found != nullptr &&
        common::EqualsIgnoreAsciiCase(found->StreamingName(&storage), object_name)) {
      found->LoadFromStorage(storage);
      by_name.emplace(found->Name(), found);
      continue;
    }
    auto object = TDAStorageManager::Instance().LoadObject(storage, [&](TDAStorableObject& o) {
      auto* item = dynamic_cast<Item*>(&o);
      if (item == nullptr) throw StoreError(kDAErrReadObject, item_kind);
      attach(*item);
    });
    std::unique_ptr<Item> item(static_cast<Item*>(object.release()));
    by_name.emplace(item->Name(), item.get());
    items.push_back(std::move(item));
  }
}

// Loads the items of a plain list (mechanisms) until the list's end byte.
template <typename Item>
void LoadItems(TDABinStorage& storage, std::vector<std::unique_ptr<Item>>& items,
               std::string_view item_kind, const std::function<void(Item&)>& attach) {
  while (!storage.IsObjectEnd()) {
    auto object = TDAStorageManager::Instance().LoadObject(storage, [&](TDAStorableObject& o) {
      auto* item = dynamic_cast<Item*>(&o);
      if (item == nullptr) throw StoreError(kDAErrReadObject, item_kind);
      attach(*item);
    });
    items.emplace_back(static_cast<Item*>(object.release()));
  }
}

// Writes every item through the class registry.
template <typename Item>
void SaveItems(TDABinStorage& storage, const std::vector<std::unique_ptr<Item>>& items) {
  for (const auto& item : items) storage.SaveObject(*item);
}

// Keeps objects that a load drops alive until the storage is released: actions queued while
// reading them may still refer to them.
template <typename Item>
void RetireItems(TDABinStorage* storage, std::vector<std::unique_ptr<Item>>& items) {
  if (storage != nullptr) {
    for (auto& item : items) storage->Retire(std::move(item));
  }
  items.clear();
}

}  // namespace storage::internal

#endif  // DATASERVER_STORAGE_INTERNAL_NAMED_LIST_H_
