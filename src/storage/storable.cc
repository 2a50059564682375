#include "storage/storable.h"

#include "common/text.h"

namespace storage {

void TDAStorableObject::SaveToStorage(TDABinStorage& storage) const {
  const std::string_view name = StreamingName(&storage);
  storage.WriteObjectBegin(name, ObjectStyle());
  try {
    WriteMembers(storage);
  } catch (...) {
    storage.WriteObjectEnd(name, ObjectStyle());
    throw;
  }
  storage.WriteObjectEnd(name, ObjectStyle());
}

void TDAStorableObject::LoadFromStorage(TDABinStorage& storage) {
  TDABinStorage::DepthGuard depth(storage);
  storage.ReadObjectBegin(StreamingName(&storage), ObjectStyle());
  storage.BeginActionScope();
  try {
    ReadMembers(storage);
  } catch (...) {
    // The partly read model is not worth finishing: drop the queued actions.
    storage.AbandonActionScope();
    throw;
  }
  storage.EndActionScope();
  storage.ReadObjectEnd();
}

void TDANamedObject::WriteMembers(TDABinStorage& storage) const {
  storage.WriteString("Name", name_, DefaultName());
}

void TDANamedObject::ReadMembers(TDABinStorage& storage) {
  name_ = storage.ReadString("Name", DefaultName());
}

void TDAList::WriteMembers(TDABinStorage& storage) const {
  for (const auto& item : items_) storage.SaveObject(*item);
}

void TDAList::ReadMembers(TDABinStorage& storage) {
  while (!storage.IsObjectEnd()) items_.push_back(storage.LoadObject());
}

void TDANamedList::ReadMembers(TDABinStorage& storage) {
  while (!storage.IsObjectEnd()) {
    const std::string name = PeekItemName(storage);
    TDANamedObject* found = nullptr;
    for (auto& item : items_) {
      auto* named = dynamic_cast<TDANamedObject*>(item.get());
      if (named != nullptr && named->Name() == name) {
        found = named;
        break;
      }
    }
    const auto bookmark = storage.GetBookmark();
    const std::string object_name(storage.ReadObjectBegin());
    storage.SetBookmark(bookmark);
    if (found != nullptr &&
        common::EqualsIgnoreAsciiCase(found->StreamingName(&storage), object_name)) {
      found->LoadFromStorage(storage);
    } else {
      items_.push_back(storage.LoadObject());
    }
  }
}

std::string PeekItemName(TDABinStorage& storage) {
  const auto bookmark = storage.GetBookmark();
  storage.ReadObjectBegin();
  std::string name = storage.ReadString("Name", "");
  storage.SetBookmark(bookmark);
  return name;
}

TDAStorageManager& TDAStorageManager::Instance() {
  static TDAStorageManager* instance = [] {
    auto* m = new TDAStorageManager();
    RegisterDatasetClasses(*m);
    return m;
  }();
  return *instance;
}

void TDAStorageManager::RegisterClass(Creator create) {
  const std::string name(create()->StreamingName(nullptr));
  RegisterClass(name, std::move(create), nullptr, nullptr);
}

void TDAStorageManager::RegisterClassAlias(std::string name, Creator create) {
  RegisterClass(std::move(name), std::move(create), nullptr, nullptr);
}

void TDAStorageManager::RegisterClass(std::string streaming_name, Creator create, Loader loader,
                                      Saver saver) {
  std::lock_guard lock(FLock);
  for (auto& r : FClasses) {
    if (r.name == streaming_name) {
      r = {std::move(streaming_name), std::move(create), std::move(loader), std::move(saver)};
      return;
    }
  }
  FClasses.push_back(
      {std::move(streaming_name), std::move(create), std::move(loader), std::move(saver)});
  FPrevName.clear();
}

const TDAStorageManager::Registration* TDAStorageManager::Find(std::string_view name) const {
  if (!FPrevName.empty() && FPrevName == name && FPrevIndex < FClasses.size()) {
    return &FClasses[FPrevIndex];
  }
  for (size_t i = 0; i < FClasses.size(); ++i) {
    if (FClasses[i].name == name) {
      FPrevName.assign(name);
      FPrevIndex = i;
      return &FClasses[i];
    }
  }
  return nullptr;
}

bool TDAStorageManager::IsRegistered(std::string_view name) const {
  std::lock_guard lock(FLock);
  return Find(name) != nullptr;
}

void TDAStorageManager::SaveObject(const TDAStorableObject& object, TDABinStorage& storage) const {
  const std::string_view name = object.StreamingName(&storage);
  Saver saver;
  {
    std::lock_guard lock(FLock);
    const Registration* r = Find(name);
    if (r == nullptr) throw StoreError(kDAErrClassNotRegistered, name);
    saver = r->saver;
  }
  if (saver) {
    saver(object, storage);
  } else {
    object.SaveToStorage(storage);
  }
}

std::unique_ptr<TDAStorableObject> TDAStorageManager::LoadObject(
    TDABinStorage& storage, const std::function<void(TDAStorableObject&)>& attach) const {
  TDABinStorage::DepthGuard depth(storage);
  const std::string name(storage.ReadObjectBegin());
  Creator create;
  Loader loader;
  {
    std::lock_guard lock(FLock);
    const Registration* r = Find(name);
    if (r == nullptr) throw StoreError(kDAErrClassNotRegistered, name);
    create = r->create;
    loader = r->loader;
  }
  std::unique_ptr<TDAStorableObject> object;
  if (loader) {
    object = loader(storage);
    if (attach) attach(*object);
  } else {
    object = create ? create() : nullptr;
    if (object == nullptr) throw StoreError(kDAErrReadObject, name);
    if (attach) attach(*object);
    object->ReadMembers(storage);
  }
  storage.ReadObjectEnd();
  return object;
}

}  // namespace storage
