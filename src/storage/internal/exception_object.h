// The storable form of a row's error: objects "Exception" (EDAException) and
// "DBEngineException" (EDADBEngineException), each with "DACode", "Message" and, from version
// 8 on, "DAObjName"; an engine exception then holds one "DBError" object per engine error
// (from version 11 on inside an object "DBErrors"). Registered with their own saver and
// loader. Used on the thread of the save or load.
#ifndef DATASERVER_STORAGE_INTERNAL_EXCEPTION_OBJECT_H_
#define DATASERVER_STORAGE_INTERNAL_EXCEPTION_OBJECT_H_

#include <memory>
#include <string_view>

#include "storage/errors.h"
#include "storage/storable.h"

namespace storage::internal {

class TDAExceptionObject : public TDAStorableObject {
 public:
  // Saving: refers to `error` (which must outlive the object). Loading: owns what it read.
  explicit TDAExceptionObject(const EDAException* error) : error_(error) {}
  explicit TDAExceptionObject(std::unique_ptr<EDAException> error)
      : owned_(std::move(error)), error_(owned_.get()) {}

  std::string_view StreamingName(const TDABinStorage*) const override;
  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage&) override {}

  const EDAException* Error() const { return error_; }
  std::unique_ptr<EDAException> TakeError() { return std::move(owned_); }

  // The registration's routines.
  static void Save(const TDAStorableObject& object, TDABinStorage& storage);
  static std::unique_ptr<TDAStorableObject> LoadException(TDABinStorage& storage);
  static std::unique_ptr<TDAStorableObject> LoadDBEngineException(TDABinStorage& storage);

 private:
  std::unique_ptr<EDAException> owned_;
  const EDAException* error_;
};

}  // namespace storage::internal

#endif  // DATASERVER_STORAGE_INTERNAL_EXCEPTION_OBJECT_H_
