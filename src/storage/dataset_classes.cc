// The storable classes of the dataset, registered once in the process-wide registry, and the
// storable form of row errors.
#include "storage/internal/exception_object.h"
#include "storage/mem_manager.h"
#include "storage/storable.h"

namespace storage {
namespace internal {

std::string_view TDAExceptionObject::StreamingName(const TDABinStorage*) const {
  return dynamic_cast<const EDADBEngineException*>(error_) != nullptr ? "DBEngineException"
                                                                      : "Exception";
}

void TDAExceptionObject::WriteMembers(TDABinStorage& storage) const {
  storage.WriteInteger("DACode", error_->DACode(), 0);
  storage.WriteString("Message", error_->what(), "");
  if (storage.StreamVersion() >= 8) storage.WriteString("DAObjName", error_->DAObjName(), "");
  const auto* engine = dynamic_cast<const EDADBEngineException*>(error_);
  if (engine == nullptr) return;
  const bool wrapped = storage.StreamVersion() >= 11;
  if (wrapped) storage.WriteObjectBegin("DBErrors", TDAStorageObjectStyle::osFlatArray);
  for (const TDADBError& e : engine->Errors()) {
    storage.WriteObjectBegin("DBError");
    storage.WriteInteger("ErrorCode", e.ErrorCode, 0);
    storage.WriteInteger("Kind", e.Kind, 0);
    storage.WriteInteger("Level", e.Level, 0);
    storage.WriteString("Message", e.Message, "");
    storage.WriteString("ObjName", e.ObjName, "");
    storage.WriteInteger("CommandTextOffset", e.CommandTextOffset, 0);
    storage.WriteInteger("RowIndex", e.RowIndex, 0);
    storage.WriteObjectEnd("DBError");
  }
  if (wrapped) storage.WriteObjectEnd("DBErrors", TDAStorageObjectStyle::osFlatArray);
}

void TDAExceptionObject::Save(const TDAStorableObject& object, TDABinStorage& storage) {
  object.SaveToStorage(storage);
}

namespace {

struct ExceptionMembers {
  int32_t code;
  std::string message;
  std::string obj_name;
};

ExceptionMembers ReadExceptionMembers(TDABinStorage& storage) {
  ExceptionMembers m;
  m.code = storage.ReadInteger("DACode", 0);
  m.message = storage.ReadString("Message", "");
  if (storage.StreamVersion() >= 8) m.obj_name = storage.ReadString("DAObjName", "");
  return m;
}

}  // namespace

std::unique_ptr<TDAStorableObject> TDAExceptionObject::LoadException(TDABinStorage& storage) {
  ExceptionMembers m = ReadExceptionMembers(storage);
  return std::make_unique<TDAExceptionObject>(
      std::make_unique<EDAException>(m.code, m.message, std::move(m.obj_name)));
}

std::unique_ptr<TDAStorableObject> TDAExceptionObject::LoadDBEngineException(
    TDABinStorage& storage) {
  ExceptionMembers m = ReadExceptionMembers(storage);
  std::vector<TDADBError> errors;
  const bool wrapped = storage.StreamVersion() >= 11;
  if (wrapped) storage.ReadObjectBegin("DBErrors", TDAStorageObjectStyle::osFlatArray);
  while (!storage.IsObjectEnd()) {
    storage.ReadObjectBegin("DBError");
    TDADBError e;
    e.ErrorCode = storage.ReadInteger("ErrorCode", 0);
    e.Kind = storage.ReadInteger("Kind", 0);
    e.Level = storage.ReadInteger("Level", 0);
    e.Message = storage.ReadString("Message", "");
    e.ObjName = storage.ReadString("ObjName", "");
    e.CommandTextOffset = storage.ReadInteger("CommandTextOffset", 0);
    e.RowIndex = storage.ReadInteger("RowIndex", 0);
    storage.ReadObjectEnd("DBError");
    errors.push_back(std::move(e));
  }
  if (wrapped) storage.ReadObjectEnd("DBErrors", TDAStorageObjectStyle::osFlatArray);
  return std::make_unique<TDAExceptionObject>(std::make_unique<EDADBEngineException>(
      m.code, m.message, std::move(m.obj_name), std::move(errors)));
}

}  // namespace internal

namespace {

template <typename T>
TDAStorageManager::Creator Make() {
  return [] { return std::unique_ptr<TDAStorableObject>(std::make_unique<T>()); };
}

// Lists, rows and row lists only exist inside their owners: a stream cannot make them stand
// alone (error 712 when one appears as an item of another list).
TDAStorageManager::Creator None() {
  return [] { return std::unique_ptr<TDAStorableObject>(); };
}

}  // namespace

void RegisterDatasetClasses(TDAStorageManager& m) {
  m.RegisterClass(Make<TDAObject>());
  m.RegisterClass(Make<TDANamedObject>());
  m.RegisterClass(Make<TDAList>());
  m.RegisterClass(Make<TDANamedList>());
  m.RegisterClass(Make<TDAMemColumn>());
  m.RegisterClass(Make<TDAMemColumnList>());
  m.RegisterClass(Make<TDAMemConstraintBase>());
  m.RegisterClass(Make<TDAMemConstraintList>());
  m.RegisterClass(Make<TDAMemUniqueConstraint>());
  m.RegisterClass(Make<TDAMemForeignKeyConstraint>());
  m.RegisterClass(Make<TDAMemCheckConstraint>());
  m.RegisterClass(Make<TDAMemRelation>());
  m.RegisterClass(Make<TDAMemRelationList>());
  m.RegisterClass(Make<TDAMemMechBase>());
  m.RegisterClass(Make<TDAMemViewMechList>());
  m.RegisterClass(Make<TDAMemMechSort>());
  m.RegisterClass(Make<TDAMemMechRowState>());
  m.RegisterClass(Make<TDAMemMechRange>());
  m.RegisterClass(Make<TDAMemMechFilter>());
  m.RegisterClass(Make<TDAMemMechError>());
  m.RegisterClass(Make<TDAMemMechDetails>());
  m.RegisterClass(Make<TDAMemMechChilds>());
  m.RegisterClass(Make<TDAMemMechMaster>());
  m.RegisterClass(Make<TDAMemMechParent>());
  m.RegisterClass(Make<TDAMemMechDistinct>());
  m.RegisterClass("Row", None(), nullptr, nullptr);
  m.RegisterClassAlias("MemRow", None());
  m.RegisterClass("RowList", None(), nullptr, nullptr);
  m.RegisterClass(Make<TDAMemView>());
  m.RegisterClass(Make<TDAMemViewList>());
  m.RegisterClass(Make<TDAMemAggregate>());
  m.RegisterClass(Make<TDAMemAggregateList>());
  m.RegisterClass(Make<TDAMemTable>());
  m.RegisterClass(Make<TDAMemTableList>());
  m.RegisterClass(Make<TDAMemManager>());
  m.RegisterClass("Exception", None(), &internal::TDAExceptionObject::LoadException,
                  &internal::TDAExceptionObject::Save);
  m.RegisterClass("DBEngineException", None(), &internal::TDAExceptionObject::LoadDBEngineException,
                  &internal::TDAExceptionObject::Save);
}

}  // namespace storage
