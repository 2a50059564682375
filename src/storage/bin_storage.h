// The binary storage container of the dataset stream: TDABinStorage.
//
// Layout (all integers little-endian):
//
//   offset 0   "ADBS" | version u16 | padding u16 (0) | D u32      header, 12 bytes
//   offset 12  body: exactly one top-level object
//   offset D   dictionary up to the end: entries { byte length u16, UTF-16LE text }
//
// Body items:
//   object begin  FF <low byte of the name id>
//   object end    FE
//   property      <name id u16> <value: bool 1 | int32 4 | uint32 4 | int64 8 | binary64 8 |
//                  String u32 byte length + UTF-16LE | AnsiString u32 length + bytes |
//                  Enumeration: v5+ u16 id of the identifier, v3-4 String, v1-2 int32>
//   column value  <column index u16 (before v4: name id)> <value bytes, see WriteValue>
//
// Names are kept once in the dictionary; ids are given in order of first use, names compare
// without regard to ASCII case, and ids 254 and 255 hold "<end>" and "<begin>" so that no
// property id has a low byte of FE or FF. A property equal to its default is not written and
// reads back as the default.
//
// A storage is made for one save or one load, used by one thread, and closed once: closing a
// writer appends the dictionary and completes the header (the destructor closes too, but an
// explicit Close() reports failures). A reader never reads outside its input and reports
// every malformed input as EDAException (code 710 for corrupt bytes, 712 for a missing object).
// Bounds: reads stop at the dictionary offset; no allocation is sized from an unchecked length.
#ifndef DATASERVER_STORAGE_BIN_STORAGE_H_
#define DATASERVER_STORAGE_BIN_STORAGE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/bytes.h"
#include "storage/enums.h"
#include "storage/errors.h"

namespace storage {

class TDAStorableObject;
class TDAMemTable;
class TDAMemView;

// The dataset's resource options that storage looks at.
struct TDAResOptions {
  TDAStoreItems StoreItems{TDAStoreItem::siMeta, TDAStoreItem::siData, TDAStoreItem::siDelta};
  int32_t StoreVersion = -1;  // -1: the current version (15)
  TDAStorageFormat DefaultStoreFormat = TDAStorageFormat::sfAuto;
  std::string DefaultStoreExt;
  // Not part of the format: the most memory a load may give rows and their values (a stream
  // that would need more fails with error 710). Guards against inputs that expand enormously.
  uint64_t MaxModelBytes = uint64_t{2} << 30;
};

// A column value in its stored layout (see value_codec.h): `size` is in bytes, also for wide
// text (2 per code unit). A null value has `present` false.
struct StoredValue {
  const uint8_t* data = nullptr;
  uint32_t size = 0;
  bool present = false;

  static StoredValue Null() { return {}; }
  static StoredValue Of(const uint8_t* data, size_t size) {
    return {data, static_cast<uint32_t>(size), true};
  }
  static StoredValue Of(common::ByteSpan bytes) { return Of(bytes.data(), bytes.size()); }
  common::ByteSpan bytes() const { return {data, size}; }
};

// Resolves the storage format of a save or load without a file name ("BIN", "XML", "JSON")
// from the resource options; fails with error 716 for a format that has no container here.
std::string ResolveStorageFormat(const TDAResOptions* options);

class TDABinStorage {
 public:
  static constexpr uint16_t kCurrentVersion = 15;
  static constexpr size_t kHeaderSize = 12;
  // Names per dictionary: ids 510 and 511 would look like reserved ids to a reader, so a
  // dictionary stops at 510 names (ids 0 to 509), counting "<end>" and "<begin>".
  static constexpr uint32_t kMaxNames = 510;
  // Deepest nesting of objects a load follows.
  static constexpr int kMaxDepth = 32;

  // A writer appending one container to `out`, which must outlive the storage. Takes the
  // store items and the version from `options` when given (the options are copied).
  static std::unique_ptr<TDABinStorage> OpenWrite(common::Bytes& out,
                                                  const TDAResOptions* options = nullptr);
  // A writer appending one container to `out` as new chunks: the container starts a chunk of
  // its own, and a chunk is closed and a new one begun instead of moving what is written, so
  // writing never holds much more than the container's size (no pre-sizing is needed).
  static std::unique_ptr<TDABinStorage> OpenWrite(common::ChunkedBytes& out,
                                                  const TDAResOptions* options = nullptr);
  // A reader of the container `in` (which must outlive the storage); reads the header and the
  // dictionary. Fails with error 710 for a short or foreign header or a corrupt dictionary.
  static std::unique_ptr<TDABinStorage> OpenRead(common::ByteSpan in,
                                                 const TDAResOptions* options = nullptr);

  ~TDABinStorage();
  TDABinStorage(const TDABinStorage&) = delete;
  TDABinStorage& operator=(const TDABinStorage&) = delete;

  // Writer: appends the dictionary and writes the header; the container is complete after
  // it. Reader: forgets the dictionary. Idempotent.
  void Close();

  TDAStorageMode Mode() const { return mode_; }
  uint32_t StreamVersion() const { return version_; }
  const TDAResOptions* ResOptions() const { return has_options_ ? &options_ : nullptr; }
  // Whether the item is in the store set (always, without resource options).
  bool HasStoreItem(TDAStoreItem item) const;

  // --- Objects -------------------------------------------------------------------------
  void WriteObjectBegin(std::string_view name,
                        TDAStorageObjectStyle style = TDAStorageObjectStyle::osObject);
  void WriteObjectEnd(std::string_view name = {},
                      TDAStorageObjectStyle style = TDAStorageObjectStyle::osObject);
  // Consumes an object begin and returns the name found (valid while the storage lives).
  // An empty `name` accepts any object. Error 712 naming "<unknown>" when no object begins
  // here, naming `name` when the object has another name.
  std::string_view ReadObjectBegin(std::string_view name = {},
                                   TDAStorageObjectStyle style = TDAStorageObjectStyle::osObject);
  // Consumes one byte, the object end (its value is not checked).
  void ReadObjectEnd(std::string_view name = {},
                     TDAStorageObjectStyle style = TDAStorageObjectStyle::osObject);
  bool IsObjectEnd(std::string_view name = {}) const;
  bool TestObject(std::string_view name) const;
  bool TestAndReadObjectBegin(std::string_view name,
                              TDAStorageObjectStyle style = TDAStorageObjectStyle::osObject);

  // --- Properties (nothing is written when the value equals the default) -----------------
  void WriteBoolean(std::string_view name, bool value, bool def);
  void WriteInteger(std::string_view name, int32_t value, int32_t def);
  void WriteLongWord(std::string_view name, uint32_t value, uint32_t def);
  void WriteInt64(std::string_view name, int64_t value, int64_t def);
  void WriteFloat(std::string_view name, double value, double def);  // a NaN is always written
  void WriteDate(std::string_view name, double value, double def);
  // UTF-8 in; stored as UTF-16LE. Compared with the default exactly.
  void WriteString(std::string_view name, std::string_view value, std::string_view def);
  void WriteAnsiString(std::string_view name, std::string_view bytes, std::string_view def);
  void WriteEnum(std::string_view name, const EnumTypeInfo& type, int value, int def);
  template <typename E>
  void WriteEnum(std::string_view name, E value, E def) {
    WriteEnum(name, EnumInfo<E>(), static_cast<int>(value), static_cast<int>(def));
  }

  // Each returns the default, consuming nothing, unless the next item is the property.
  bool ReadBoolean(std::string_view name, bool def);
  int32_t ReadInteger(std::string_view name, int32_t def);
  uint32_t ReadLongWord(std::string_view name, uint32_t def);
  int64_t ReadInt64(std::string_view name, int64_t def);
  double ReadFloat(std::string_view name, double def);
  double ReadDate(std::string_view name, double def);
  std::string ReadString(std::string_view name, std::string_view def);  // UTF-8
  std::string ReadAnsiString(std::string_view name, std::string_view def);
  // Error 710 when the stored identifier or ordinal is not a member of the enumeration.
  int ReadEnum(std::string_view name, const EnumTypeInfo& type, int def);
  template <typename E>
  E ReadEnum(std::string_view name, E def) {
    return static_cast<E>(ReadEnum(name, EnumInfo<E>(), static_cast<int>(def)));
  }

  bool TestProperty(std::string_view name) const;
  // Consumes the property's name id when the next item is that property.
  bool TestAndReadProperty(std::string_view name);

  // --- Column values --------------------------------------------------------------------
  // Writes a non-null value of the column `index` (before version 4: keyed by `column_name`)
  // from its stored layout; nothing for a null value. Fixed-size types take exactly their
  // size; a decimal takes the bytes its precision needs (the count byte comes first).
  void WriteValue(std::string_view column_name, size_t index, DataType type,
                  const StoredValue& value);
  // Reads the value of the column `index` when the next item is that value; otherwise the
  // value is null and nothing is consumed. The bytes stay valid while the storage lives.
  bool ReadValue(std::string_view column_name, size_t index, DataType type, StoredValue& value);
  // The column index (version 4 and later) or name id (earlier) of the next item, if two
  // bytes remain; used to skip the columns that a row version leaves null.
  std::optional<uint16_t> PeekUInt16() const;

  // --- Positions --------------------------------------------------------------------------
  // The position (relative to the container's start).
  uint64_t GetBookmark() const;
  // Reader only: returns to a position obtained from GetBookmark().
  void SetBookmark(uint64_t bookmark);
  uint64_t CurrentSize() const;
  // Sets the capacity of the output to `start` + (CurrentSize() - `start`) x `factor` bytes
  // when that estimate of what follows `start` exceeds 40960 bytes.
  void ReserveCapacity(uint64_t factor, uint64_t start);

  // --- Objects through the class registry --------------------------------------------------
  void SaveObject(const TDAStorableObject& object);
  std::unique_ptr<TDAStorableObject> LoadObject();

  // --- Deferred actions ---------------------------------------------------------------------
  // Runs after the outermost object of a load has been read (see EndActionScope).
  using ActionRoutine = std::function<void(std::string_view name, std::string_view value)>;
  void BeginActionScope();
  void EndActionScope();
  // Leaves a scope without running its actions (a failed load); at the outermost level the
  // queue is discarded.
  void AbandonActionScope();
  void QueueAction(std::string name, std::string value, ActionRoutine routine);

  // --- Row filters (siVisible) ----------------------------------------------------------
  void SetRowFilter(const TDAMemTable* table, const TDAMemView* view);
  void ClearRowFilter(const TDAMemTable* table);
  const TDAMemView* FindRowFilter(const TDAMemTable* table) const;

  // --- Nesting depth of loads -------------------------------------------------------------
  // RAII: one level of object nesting; error 710 beyond kMaxDepth.
  class DepthGuard {
   public:
    explicit DepthGuard(TDABinStorage& storage);
    ~DepthGuard() { --storage_.depth_; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;

   private:
    TDABinStorage& storage_;
  };

  // Keeps an object that a load drops alive until the storage is released (queued actions
  // may refer to it).
  void Retire(std::unique_ptr<TDAStorableObject> object);

  // --- Load budget ----------------------------------------------------------------------
  // Charges memory a load gives to the model; error 710 past TDAResOptions::MaxModelBytes.
  void ChargeModelBytes(uint64_t bytes);

  // --- Dictionary ---------------------------------------------------------------------------
  // The names in id order (UTF-8).
  const std::vector<std::string>& DictionaryNames() const { return names_; }
  // Writer: the id of a name, entering it on first use (error 714 when the dictionary is
  // full). Reader: whether dictionary entry `id` equals `name` ignoring ASCII case.
  uint16_t EnterName(std::string_view name);
  bool NameMatches(uint16_t id, std::string_view name) const;
  // Reader: the dictionary offset D from the header.
  uint32_t DictionaryOffset() const { return dictionary_offset_; }

  // --- Raw access for the row codecs ---------------------------------------------------------
  // Writer: appends `n` bytes and returns where to put them (valid until the next write).
  uint8_t* AppendRaw(size_t n) {
    if (out_->size() - pos_ < n) Expand(n);
    uint8_t* p = out_->data() + pos_;
    pos_ += n;
    return p;
  }
  // Writer: makes room for up to `max` bytes and returns where they go; CommitRaw(n) then
  // keeps the first n of them (n <= max). Nothing else may be written in between.
  uint8_t* ReserveRaw(size_t max) {
    if (out_->size() - pos_ < max) Expand(max);
    return out_->data() + pos_;
  }
  void CommitRaw(size_t n) { pos_ += n; }
  // Reader: the unread bytes of the body (up to the dictionary) and moving past them.
  const uint8_t* RawCursor() const { return in_.data() + pos_; }
  size_t RawRemaining() const { return end_ - pos_; }
  void RawAdvance(size_t n) { pos_ += n; }

  // Writer: a row list of `total_rows` rows begins (pre-sizing), one row is done, it ends.
  void BeginRowList(uint64_t total_rows);
  void RowWritten();
  void EndRowList();

 private:
  TDABinStorage(TDAStorageMode mode, const TDAResOptions* options);
  static std::unique_ptr<TDABinStorage> NewWriter(const TDAResOptions* options);

  // Makes room for `n` more bytes after pos_ (called when out_->size() - pos_ < n).
  void Expand(size_t n);
  // Raises out_'s capacity to hold pos_ + n bytes; GrowChunked may close the chunk and move
  // pos_ to the start of a new one.
  void GrowContiguous(size_t n);
  void GrowChunked(size_t n);
  void WritePropertyId(std::string_view name);
  void WriteU16(uint16_t v);
  void WriteU32(uint32_t v);

  // Reader helpers: error 710 unless `n` bytes remain before the dictionary.
  void Need(size_t n) const;
  size_t Remaining() const { return end_ - pos_; }
  uint8_t Byte(size_t at) const { return in_[at]; }
  const std::string& EntryName(uint16_t id) const;  // error 710 for an id without entry
  std::string ReadUtf16(size_t byte_length);

  TDAStorageMode mode_;
  uint32_t version_ = kCurrentVersion;
  bool has_options_ = false;
  TDAResOptions options_;
  bool closed_ = false;

  // Names compare without regard to ASCII case; the index is searched with the caller's view,
  // so finding a name already entered allocates nothing.
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const;
  };
  struct NameEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
  };

  // Dictionary: names in id order (UTF-8); while writing, an index by name.
  std::vector<std::string> names_;
  std::unordered_map<std::string, uint16_t, NameHash, NameEqual> index_;

  // Writer output: the container occupies (*out_)[base_, pos_) after `sealed_` bytes in
  // closed chunks; bytes after pos_ up to out_->size() are zeroed room for the next writes.
  // Chunked output (chunks_ set): out_ is chunks_->back(), base_ is 0 once the first chunk
  // of the container is closed, and the header is at the start of chunk header_chunk_.
  common::Bytes* out_ = nullptr;
  size_t base_ = 0;
  size_t pos_ = 0;
  std::vector<common::Bytes>* chunks_ = nullptr;
  size_t header_chunk_ = 0;
  uint64_t sealed_ = 0;
  // Row list pre-sizing.
  struct RowListSizing {
    bool active = false;
    bool presized = false;
    size_t start = 0;
    uint64_t total = 0;
    uint64_t done = 0;
  } sizing_;

  // Reader input: body in [kHeaderSize, end_), dictionary from end_ on.
  common::ByteSpan in_;
  size_t end_ = 0;
  uint32_t dictionary_offset_ = 0;
  uint8_t bcd_scratch_[34] = {};

  // Last enumeration value written as an identifier (most rows share the same state).
  const EnumTypeInfo* last_enum_type_ = nullptr;
  int last_enum_value_ = 0;
  uint16_t last_enum_id_ = 0;

  struct Action {
    std::string name;
    std::string value;
    ActionRoutine routine;
  };
  std::vector<Action> actions_;
  int level_ = 0;
  int depth_ = 0;
  uint64_t model_bytes_ = 0;

  std::unordered_map<const TDAMemTable*, const TDAMemView*> filters_;
  std::vector<std::unique_ptr<TDAStorableObject>> retired_;
};

// Binary64 little-endian helpers shared by the codecs.
inline void StoreDoubleLE(uint8_t* p, double d) { common::StoreLE(p, common::DoubleBits(d)); }
inline double LoadDoubleLE(const uint8_t* p) {
  return common::DoubleFromBits(common::LoadLE<uint64_t>(p));
}

}  // namespace storage

#endif  // DATASERVER_STORAGE_BIN_STORAGE_H_
