// The updates journal: the changed rows of a manager's tables (or of one table), in the order
// of their last change, and the next change number to give.
//
// Object "UpdatesJournal": "SavePoint" (the ChangeNumber), then (version 11 and later inside
// an object "Changes") one object "Change" per journalled row, longest ago first, holding
// "TabID" (a manager's journal only: the position of the row's table), "RowID" and
// "ChangeNumber". Loading looks each row up by RowID and links it with its stored change
// number; entries naming no table or no row, and second entries of the same row, are ignored.
//
// Used by the thread that owns the model; the list is linked through the rows themselves.
#ifndef DATASERVER_STORAGE_MEM_JOURNAL_H_
#define DATASERVER_STORAGE_MEM_JOURNAL_H_

#include <cstddef>
#include <cstdint>

#include "storage/storable.h"

namespace storage {

class TDAMemManager;
class TDAMemTable;
class TDAMemRow;

class TDAMemUpdatesJournal : public TDAStorableObject {
 public:
  explicit TDAMemUpdatesJournal(TDAMemManager* manager) : manager_(manager) {}
  explicit TDAMemUpdatesJournal(TDAMemTable* table) : table_(table) {}
  ~TDAMemUpdatesJournal() override;
  TDAMemUpdatesJournal(const TDAMemUpdatesJournal&) = delete;
  TDAMemUpdatesJournal& operator=(const TDAMemUpdatesJournal&) = delete;

  std::string_view StreamingName(const TDABinStorage*) const override { return "UpdatesJournal"; }

  // The next change number to give.
  uint32_t ChangeNumber() const { return FChangeNumber; }
  uint32_t SavePoint() const { return FChangeNumber; }
  // Rejects, from the last change backwards, every row whose change number is `n` or more.
  void SetSavePoint(uint32_t n);

  // A row already listed keeps its place and number when it is inserted or the journal is
  // locked; any other row goes to the end with the next number. Returns the row's number.
  uint32_t RegisterRow(TDAMemRow* row);
  void UnregisterRow(TDAMemRow* row);

  // Walks the list; restricted to the rows of `owner` when given.
  TDAMemRow* FirstChange(const TDAMemTable* owner = nullptr) const;
  TDAMemRow* NextChange(const TDAMemRow* row, const TDAMemTable* owner = nullptr) const;
  TDAMemRow* LastChange(const TDAMemTable* owner = nullptr) const;
  bool HasChanges(const TDAMemTable* owner = nullptr) const;
  size_t GetCount(const TDAMemTable* owner = nullptr) const;

  // Accepts (or rejects) every listed row of `owner`, in list order.
  void AcceptChanges(const TDAMemTable* owner = nullptr);
  void RejectChanges(const TDAMemTable* owner = nullptr);
  // Empties the list and restarts the numbering at 0.
  void Clear();
  // Takes every row of `table` out of the list.
  void ForgetTable(const TDAMemTable* table);

  void Lock() { ++FLocked; }
  void Unlock() {
    if (FLocked > 0) --FLocked;
  }
  bool IsLocked() const { return FLocked > 0; }

  // Whether the last load read a journal object.
  bool WasLoaded() const { return loaded_; }

  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;

 private:
  void Unlink(TDAMemRow* row);
  void Append(TDAMemRow* row, uint32_t change_number);

  TDAMemManager* manager_ = nullptr;
  TDAMemTable* table_ = nullptr;
  int FLocked = 0;
  uint32_t FChangeNumber = 0;
  TDAMemRow* FFirstChange = nullptr;
  TDAMemRow* FLastChange = nullptr;
  bool loaded_ = false;
};

}  // namespace storage

#endif  // DATASERVER_STORAGE_MEM_JOURNAL_H_
