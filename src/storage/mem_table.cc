#include "storage/mem_table.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <type_traits>

#include "storage/internal/exception_object.h"
#include "storage/internal/named_list.h"
#include "storage/internal/record.h"
#include "storage/mem_manager.h"

namespace storage {

using internal::ColumnLayout;

namespace internal {

uint8_t* EmptyRecord() {
  alignas(8) static uint8_t empty[8] = {};
  return empty;
}

const uint8_t* NoBytes() {
  static const uint8_t none[1] = {0};
  return none;
}

}  // namespace internal

namespace {

constexpr std::string_view kVersionNames[3] = {"Original", "Current", "Proposed"};

std::string_view RowObjectName(uint32_t version) {
  return (version == 3 || version == 4) ? "MemRow" : "Row";
}

bool IsIntegerType(common::DataType t) {
  switch (t) {
    case common::DataType::dtSByte:
    case common::DataType::dtInt16:
    case common::DataType::dtInt32:
    case common::DataType::dtInt64:
    case common::DataType::dtByte:
    case common::DataType::dtUInt16:
    case common::DataType::dtUInt32:
    case common::DataType::dtUInt64:
      return true;
    default:
      return false;
  }
}

int64_t LoadInteger(common::DataType t, const uint8_t* p) {
  switch (t) {
    case common::DataType::dtSByte:
      return static_cast<int8_t>(p[0]);
    case common::DataType::dtInt16:
      return common::LoadLE<int16_t>(p);
    case common::DataType::dtInt32:
      return common::LoadLE<int32_t>(p);
    case common::DataType::dtByte:
      return p[0];
    case common::DataType::dtUInt16:
      return common::LoadLE<uint16_t>(p);
    case common::DataType::dtUInt32:
      return common::LoadLE<uint32_t>(p);
    default:
      return common::LoadLE<int64_t>(p);
  }
}

void StoreInteger(common::DataType t, uint8_t* p, int64_t v) {
  switch (common::FixedValueSize(t)) {
    case 1:
      p[0] = static_cast<uint8_t>(v);
      break;
    case 2:
      common::StoreLE(p, static_cast<uint16_t>(v));
      break;
    case 4:
      common::StoreLE(p, static_cast<uint32_t>(v));
      break;
    default:
      common::StoreLE(p, static_cast<uint64_t>(v));
      break;
  }
}

int64_t SaturatedAdd(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN;
  return r;
}

}  // namespace

// Row objects: written and read by the table (rows are not registry objects).
//
//   "Row" (v3-4 "MemRow"): "RowID", "RowState", "RowPriorState", [object "Exception"],
//   [object "Original"], [object "Current"], [object "Proposed"]
//   version object: pass 1 short values, pass 2 (v15+, reference columns) parent RowID,
//   pass 3 long values; each value as its column index (before v4: name id) and bytes.
struct RowAccess {
  // Ids of the row list's names, entered on first use so that they follow the order of first
  // use exactly as without the cache.
  struct Names {
    int32_t ids[5] = {-1, -1, -1, -1, -1};  // row, "RowID", versions
  };

  static uint16_t Id(TDABinStorage& s, Names& names, int slot, std::string_view name) {
    if (names.ids[slot] < 0) names.ids[slot] = s.EnterName(name);
    return static_cast<uint16_t>(names.ids[slot]);
  }

  static void BeginObject(TDABinStorage& s, Names& names, int slot, std::string_view name) {
    const uint16_t id = Id(s, names, slot, name);
    if (id > 253) {
      s.WriteObjectBegin(name);  // raises the dictionary error
      return;
    }
    uint8_t* p = s.AppendRaw(2);
    p[0] = 0xFF;
    p[1] = static_cast<uint8_t>(id);
  }

  static void WriteVersion(TDABinStorage& s, const TDAMemTable& t, const TDAMemRow& row,
                           const uint8_t* record) {
    const internal::RecordLayout& layout = t.layout_;
    const uint32_t version = s.StreamVersion();
    auto write_pass = [&](const std::vector<uint32_t>& columns) {
      for (uint32_t c : columns) {
        if (!internal::IsPresent(record, c)) continue;
        s.WriteValue(t.columns_[c].Name(), c, layout.columns[c].type,
                     internal::SlotValue(record, layout.columns[c]));
      }
    };
    write_pass(layout.passes[0]);
    if (version >= 15 && layout.has_ref_columns && row.parent_row_id_ != TDAMemRow::kNoRowID) {
      uint8_t parent[4];
      common::StoreLE(parent, row.parent_row_id_);
      for (uint32_t c : layout.passes[1]) {
        s.WriteValue(t.columns_[c].Name(), c, common::DataType::dtParentRowRef,
                     StoredValue::Of(parent, 4));
      }
    }
    if (layout.has_long_columns) write_pass(layout.passes[2]);
  }

  static void WriteRow(TDABinStorage& s, const TDAMemTable& t, const TDAMemRow& row, Names& names) {
    BeginObject(s, names, 0, RowObjectName(s.StreamVersion()));
    try {
      if (row.row_id_ != TDAMemRow::kNoRowID) {
        uint8_t* p = s.AppendRaw(6);
        common::StoreLE(p, Id(s, names, 1, "RowID"));
        common::StoreLE(p + 2, row.row_id_);
      }
      s.WriteEnum("RowState", row.state_, TDAMemRowState::rsUnchanged);
      s.WriteEnum("RowPriorState", row.prior_state_, TDAMemRowState::rsDetached);
      if (const EDAException* error = row.Error()) {
        s.WriteObjectBegin("Exception");
        s.SaveObject(internal::TDAExceptionObject(error));
        s.WriteObjectEnd("Exception");
      }
      for (int slot = 0; slot < 3; ++slot) {
        const uint8_t* record = row.versions_[slot];
        if (record == nullptr) continue;
        BeginObject(s, names, 2 + slot, kVersionNames[slot]);
        WriteVersion(s, t, row, record);
        s.WriteObjectEnd(kVersionNames[slot]);
      }
    } catch (...) {
      s.WriteObjectEnd();
      throw;
    }
    s.WriteObjectEnd();
  }

  // For streams before version 4 (values keyed by name ids): by dictionary id, the positions
  // of the columns of each pass with that name (ASCII case ignored), ascending.
  struct NameKeys {
    std::vector<std::vector<uint32_t>> positions[3];
  };

  static NameKeys BuildNameKeys(const TDABinStorage& s, const TDAMemTable& t) {
    NameKeys keys;
    const auto& dict = s.DictionaryNames();
    std::unordered_map<std::string, size_t> ids;
    for (size_t i = 0; i < dict.size(); ++i) ids.emplace(common::ToUpperAscii(dict[i]), i);
    for (int p = 0; p < 3; ++p) {
      keys.positions[p].resize(dict.size());
      const auto& columns = t.layout_.passes[p];
      for (size_t k = 0; k < columns.size(); ++k) {
        // Every dictionary entry that matches the column's name, whatever its spelling.
        const std::string upper = common::ToUpperAscii(t.columns_[columns[k]].Name());
        for (size_t i = 0; i < dict.size(); ++i) {
          if (dict[i].size() == upper.size() && common::ToUpperAscii(dict[i]) == upper) {
            keys.positions[p][i].push_back(static_cast<uint32_t>(k));
          }
        }
      }
    }
    return keys;
  }

  static void StoreValue(TDABinStorage& s, TDAMemTable& t, uint8_t*& record, uint32_t column,
                         const StoredValue& value) {
    const ColumnLayout& c = t.layout_.columns[column];
    if (record == internal::EmptyRecord()) record = t.NewRecord(&s);
    switch (c.kind) {
      case ColumnLayout::kFixed:
        std::memcpy(record + c.offset, value.data, std::min<size_t>(value.size, c.fixed_size));
        if (value.size < c.fixed_size) {
          std::memset(record + c.offset + value.size, 0, c.fixed_size - value.size);
        }
        break;
      case ColumnLayout::kVariable: {
        const internal::VarRef ref{t.CopyBytes(value.data, value.size, &s), value.size};
        std::memcpy(record + c.offset, &ref, sizeof ref);
        break;
      }
      default:
        break;
    }
    internal::SetPresent(record, column, true);
  }

  // Reads a version's values pass by pass. A stored index that belongs to no later column of
  // the pass ends the pass: the remaining columns are null (what asking for each in turn
  // would give, without asking).
  static void ReadVersion(TDABinStorage& s, TDAMemTable& t, TDAMemRow& row, int slot,
                          const NameKeys* keys) {
    const internal::RecordLayout& layout = t.layout_;
    const uint32_t version = s.StreamVersion();
    uint8_t*& record = row.versions_[slot];
    for (int p = 0; p < 3; ++p) {
      if (p == 1 && !(version >= 15 && layout.has_ref_columns)) continue;
      if (p == 2 && !layout.has_long_columns) continue;
      const std::vector<uint32_t>& columns = layout.passes[p];
      size_t k = 0;
      while (k < columns.size()) {
        const auto peek = s.PeekUInt16();
        if (!peek) break;
        if (keys == nullptr) {
          if (*peek >= layout.columns.size() || layout.columns[*peek].pass != p + 1) break;
          const int32_t position = layout.pass_position[*peek];
          if (position < 0 || static_cast<size_t>(position) < k) break;
          k = static_cast<size_t>(position);
        } else {
          const uint8_t low = static_cast<uint8_t>(*peek);
          if (low == 0xFE || low == 0xFF || *peek >= keys->positions[p].size()) break;
          const auto& positions = keys->positions[p][*peek];
          auto it = std::lower_bound(positions.begin(), positions.end(), k);
          if (it == positions.end()) break;
          k = *it;
        }
        const uint32_t column = columns[k];
        StoredValue value;
        if (!s.ReadValue(t.columns_[column].Name(), column, layout.columns[column].type, value)) {
          break;
        }
        if (p == 1) row.parent_row_id_ = common::LoadLE<uint32_t>(value.data);
        StoreValue(s, t, record, column, value);
        ++k;
      }
    }
  }

  [[noreturn]] static void Corrupt() { throw StoreError(kDAErrInvalidFormat); }

  static void CopyFixed(uint8_t* to, const uint8_t* from, size_t n) {
    switch (n) {
      case 1:
        to[0] = from[0];
        break;
      case 2:
        std::memcpy(to, from, 2);
        break;
      case 4:
        std::memcpy(to, from, 4);
        break;
      case 8:
        std::memcpy(to, from, 8);
        break;
      default:
        std::memcpy(to, from, n);
        break;
    }
  }

  // The same as ReadVersion for streams of version 4 and later, decoding straight from the
  // input: each value is copied once, into its row's record.
  static void ReadVersionRaw(TDABinStorage& s, TDAMemTable& t, TDAMemRow& row, int slot) {
    const internal::RecordLayout& layout = t.layout_;
    const bool parents = s.StreamVersion() >= 15 && layout.has_ref_columns;
    const uint8_t* const start = s.RawCursor();
    const uint8_t* const end = start + s.RawRemaining();
    const uint8_t* p = start;
    uint8_t*& record = row.versions_[slot];
    for (int pass = 0; pass < 3; ++pass) {
      if (pass == 1 && !parents) continue;
      if (pass == 2 && !layout.has_long_columns) continue;
      const size_t count = layout.passes[pass].size();
      size_t k = 0;
      while (k < count && end - p >= 2) {
        const uint16_t index = common::LoadLE<uint16_t>(p);
        if (index >= layout.columns.size()) break;
        const ColumnLayout& c = layout.columns[index];
        if (c.pass != pass + 1) break;
        const auto position = static_cast<size_t>(layout.pass_position[index]);
        if (position < k) break;
        const uint8_t* q = p + 2;
        if (record == internal::EmptyRecord()) record = t.NewRecord(&s);
        switch (c.kind) {
          case ColumnLayout::kFixed:
            if (c.type == common::DataType::dtBCD || c.type == common::DataType::dtFmtBCD) {
              if (end - q < 1) Corrupt();
              const size_t n = q[0];
              if (n > 34 || static_cast<size_t>(end - q) < 1 + n) Corrupt();
              if (n > 0 && q[1] > 64) Corrupt();
              std::memcpy(record + c.offset, q + 1, n);
              std::memset(record + c.offset + n, 0, 34 - n);
              q += 1 + n;
            } else {
              if (static_cast<size_t>(end - q) < c.fixed_size) Corrupt();
              CopyFixed(record + c.offset, q, c.fixed_size);
              q += c.fixed_size;
            }
            break;
          case ColumnLayout::kVariable: {
            if (end - q < 4) Corrupt();
            const uint32_t len = common::LoadLE<uint32_t>(q);
            q += 4;
            if (static_cast<size_t>(end - q) < len) Corrupt();
            if (common::IsWideTextType(c.type) && len % 2 != 0) Corrupt();
            const internal::VarRef ref{t.CopyBytes(q, len, &s), len};
            std::memcpy(record + c.offset, &ref, sizeof ref);
            q += len;
            break;
          }
          default:
            break;
        }
        if (pass == 1) row.parent_row_id_ = common::LoadLE<uint32_t>(record + c.offset);
        internal::SetPresent(record, index, true);
        p = q;
        k = position + 1;
      }
    }
    s.RawAdvance(static_cast<size_t>(p - start));
  }

  // Dictionary ids of the names a row uses, resolved once per row list. A name that matches
  // no entry gets kAbsent; a dictionary holding one name in several spellings is read the
  // general way.
  struct RowNames {
    static constexpr int kAbsent = -3;
    bool usable = false;
    int row = kAbsent;
    int row_id = kAbsent;
    int state = kAbsent;
    int prior = kAbsent;
    int exception = kAbsent;
    int versions[3] = {kAbsent, kAbsent, kAbsent};
    std::vector<int8_t> state_of;  // by dictionary id: a row state's ordinal, or -1
    size_t dictionary_size = 0;
  };

  static RowNames ResolveRowNames(const TDABinStorage& s) {
    RowNames n;
    const auto& dict = s.DictionaryNames();
    n.dictionary_size = dict.size();
    bool ambiguous = false;
    auto unique = [&](std::string_view name) {
      int found = RowNames::kAbsent;
      for (size_t i = 0; i < dict.size(); ++i) {
        if (dict[i].size() == name.size() && common::EqualsIgnoreAsciiCase(dict[i], name)) {
          if (found != RowNames::kAbsent) ambiguous = true;
          found = static_cast<int>(i);
        }
      }
      return found;
    };
    n.row = unique(RowObjectName(s.StreamVersion()));
    n.row_id = unique("RowID");
    n.state = unique("RowState");
    n.prior = unique("RowPriorState");
    n.exception = unique("Exception");
    for (int v = 0; v < 3; ++v) n.versions[v] = unique(kVersionNames[v]);
    n.state_of.resize(dict.size());
    for (size_t i = 0; i < dict.size(); ++i) {
      const auto ordinal = EnumInfo<TDAMemRowState>().Ordinal(dict[i]);
      n.state_of[i] = static_cast<int8_t>(ordinal.value_or(-1));
    }
    n.usable = !ambiguous && s.StreamVersion() >= 5;
    return n;
  }

  // Whether the next item is the property `id`; an id without a dictionary entry is corrupt
  // (as when the name is looked up).
  static bool AtProperty(const TDABinStorage& s, const RowNames& n, int id) {
    if (s.RawRemaining() < 2) return false;
    const uint8_t* p = s.RawCursor();
    if (p[0] == 0xFE || p[0] == 0xFF) return false;
    const uint16_t found = common::LoadLE<uint16_t>(p);
    if (found >= n.dictionary_size) Corrupt();
    return found == id;
  }

  static bool AtObject(const TDABinStorage& s, const RowNames& n, int id) {
    if (s.RawRemaining() < 2) return false;
    const uint8_t* p = s.RawCursor();
    if (p[0] != 0xFF) return false;
    if (p[1] >= n.dictionary_size) Corrupt();
    return p[1] == id;
  }

  static TDAMemRowState ReadState(TDABinStorage& s, const RowNames& n) {
    if (s.RawRemaining() < 4) Corrupt();
    const uint16_t id = common::LoadLE<uint16_t>(s.RawCursor() + 2);
    if (id >= n.dictionary_size || n.state_of[id] < 0) Corrupt();
    s.RawAdvance(4);
    return static_cast<TDAMemRowState>(n.state_of[id]);
  }

  static void ReadRowError(TDABinStorage& s, TDAMemRow& row) {
    auto object = TDAStorageManager::Instance().LoadObject(s, [](TDAStorableObject& o) {
      if (dynamic_cast<internal::TDAExceptionObject*>(&o) == nullptr) {
        throw StoreError(kDAErrReadObject, "Exception");
      }
    });
    row.SetError(static_cast<internal::TDAExceptionObject&>(*object).TakeError());
  }

  // ReadRow for streams of version 5 and later with resolved names: the same steps, with the
  // names compared by id. False (nothing consumed) when the next item is not a row object; the
  // general reader then reports it.
  static bool ReadRowFast(TDABinStorage& s, TDAMemTable& t, TDAMemRow& row, const RowNames& n) {
    if (!AtObject(s, n, n.row)) return false;
    s.RawAdvance(2);
    if (AtProperty(s, n, n.row_id)) {
      if (s.RawRemaining() < 6) Corrupt();
      row.row_id_ = common::LoadLE<uint32_t>(s.RawCursor() + 2);
      s.RawAdvance(6);
    }
    row.state_ = AtProperty(s, n, n.state) ? ReadState(s, n) : TDAMemRowState::rsUnchanged;
    row.prior_state_ = AtProperty(s, n, n.prior) ? ReadState(s, n) : TDAMemRowState::rsDetached;
    if (AtObject(s, n, n.exception)) {
      s.RawAdvance(2);
      ReadRowError(s, row);
      s.ReadObjectEnd("Exception");
    }
    for (int slot = 0; slot < 3; ++slot) {
      if (AtObject(s, n, n.versions[slot])) {
        s.RawAdvance(2);
        row.versions_[slot] = internal::EmptyRecord();
        ReadVersionRaw(s, t, row, slot);
        s.ReadObjectEnd(kVersionNames[slot]);
      }
    }
    s.ReadObjectEnd();
    return true;
  }

  static void ReadRow(TDABinStorage& s, TDAMemTable& t, TDAMemRow& row, const NameKeys* keys) {
    TDABinStorage::DepthGuard depth(s);
    s.ReadObjectBegin(RowObjectName(s.StreamVersion()));
    s.BeginActionScope();
    try {
      row.row_id_ = s.ReadLongWord("RowID", TDAMemRow::kNoRowID);
      row.state_ = s.ReadEnum("RowState", TDAMemRowState::rsUnchanged);
      row.prior_state_ = s.ReadEnum("RowPriorState", TDAMemRowState::rsDetached);
      if (s.TestAndReadObjectBegin("Exception")) {
        ReadRowError(s, row);
        s.ReadObjectEnd("Exception");
      }
      for (int slot = 0; slot < 3; ++slot) {
        if (s.TestAndReadObjectBegin(kVersionNames[slot])) {
          t.FreeRecord(row.versions_[slot]);
          row.versions_[slot] = internal::EmptyRecord();
          if (keys == nullptr) {
            ReadVersionRaw(s, t, row, slot);
          } else {
            ReadVersion(s, t, row, slot, keys);
          }
          s.ReadObjectEnd(kVersionNames[slot]);
        } else if (row.versions_[slot] != nullptr) {
          row.ReleaseVersion(slot);
        }
      }
    } catch (...) {
      s.AbandonActionScope();
      throw;
    }
    s.EndActionScope();
    s.ReadObjectEnd();
  }
};

// ---------------------------------------------------------------------------------------------

static_assert(std::is_trivially_destructible_v<TDAMemRow>,
              "rows live in the table's arena and are never destroyed one by one");

TDAMemTable::TDAMemTable(TDAMemManager* manager)
    : TDANamedObject("Table"),
      manager_(manager),
      columns_(this),
      constraints_(this),
      views_(this),
      journal_(this) {}

TDAMemTable::~TDAMemTable() {
  journal_.Clear();
  if (manager_ != nullptr) manager_->Journal().ForgetTable(this);
  views_.ForgetAllRows();
}

int TDAMemTable::TabID() const {
  return manager_ != nullptr ? manager_->Tables().IndexOf(this) : -1;
}

bool TDAMemTable::UpdatesRegistry() const {
  return manager_ == nullptr || !manager_->UpdatesRegistry;
}

TDAMemUpdatesJournal& TDAMemTable::ServingJournal() {
  return UpdatesRegistry() ? journal_ : manager_->Journal();
}

const TDAMemUpdatesJournal& TDAMemTable::ServingJournal() const {
  return UpdatesRegistry() ? journal_ : manager_->Journal();
}

const internal::RecordLayout& TDAMemTable::Layout() {
  if (!layout_ready_) PrepareLayout();
  return layout_;
}

void TDAMemTable::PrepareLayout() {
  if (columns_.empty()) throw NoColumnsError();
  for (size_t i = 0; i < columns_.size(); ++i) {
    if (columns_[i].DataType == common::DataType::dtUnknown) {
      throw ColumnTypeUnknownError(columns_[i].Name());
    }
  }
  internal::RecordLayout layout;
  const size_t n = columns_.size();
  layout.bitmap_bytes = (n + 7) / 8;
  size_t offset = (layout.bitmap_bytes + 7) & ~size_t{7};
  layout.columns.resize(n);
  layout.pass_position.assign(n, -1);
  for (size_t i = 0; i < n; ++i) {
    const common::DataType type = columns_[i].DataType;
    ColumnLayout& c = layout.columns[i];
    c.type = type;
    const auto ord = static_cast<int>(type);
    if (ord >= 34 && ord <= 38) layout.has_ref_columns = true;
    if (common::IsLongType(type)) layout.has_long_columns = true;
    if (common::IsVariableLengthType(type)) {
      offset = (offset + 7) & ~size_t{7};
      c.kind = ColumnLayout::kVariable;
      c.offset = static_cast<uint32_t>(offset);
      offset += sizeof(internal::VarRef);
    } else if (common::FixedValueSize(type) > 0) {
      c.kind = ColumnLayout::kFixed;
      c.fixed_size = static_cast<uint16_t>(common::FixedValueSize(type));
      c.offset = static_cast<uint32_t>(offset);
      offset += c.fixed_size;
    } else if (type == common::DataType::dtObject) {
      c.kind = ColumnLayout::kPresence;
    }
    if (type == common::DataType::dtParentRowRef) {
      c.pass = 2;
    } else if (common::IsLongType(type)) {
      c.pass = 3;
    } else if ((ord >= 1 && ord <= 24) || type == common::DataType::dtGUID ||
               type == common::DataType::dtObject) {
      c.pass = 1;
    }
    if (c.pass != 0) {
      auto& pass = layout.passes[c.pass - 1];
      layout.pass_position[i] = static_cast<int32_t>(pass.size());
      pass.push_back(static_cast<uint32_t>(i));
    }
  }
  layout.record_size = std::max<size_t>((offset + 7) & ~size_t{7}, 8);
  layout_ = std::move(layout);
  layout_ready_ = true;
  free_records_.clear();
  next_auto_inc_.assign(n, 0);
  has_auto_inc_ = false;
  for (size_t i = 0; i < n; ++i) {
    next_auto_inc_[i] = columns_[i].AutoIncrementSeed;
    has_auto_inc_ = has_auto_inc_ || columns_[i].AutoIncrement;
  }
}

void TDAMemTable::InvalidateLayout() {
  layout_ready_ = false;
  free_records_.clear();
}

uint8_t* TDAMemTable::NewRecord(TDABinStorage* charge) {
  uint8_t* record;
  if (!free_records_.empty()) {
    record = free_records_.back();
    free_records_.pop_back();
  } else {
    if (charge != nullptr) charge->ChargeModelBytes(layout_.record_size);
    record = arena_.Allocate(layout_.record_size);
  }
  std::memset(record, 0, layout_.bitmap_bytes);
  return record;
}

uint8_t* TDAMemTable::CopyRecord(const uint8_t* record) {
  if (record == internal::EmptyRecord()) return internal::EmptyRecord();
  uint8_t* copy = NewRecord(nullptr);
  std::memcpy(copy, record, layout_.record_size);
  return copy;
}

void TDAMemTable::FreeRecord(uint8_t* record) {
  if (record != nullptr && record != internal::EmptyRecord()) free_records_.push_back(record);
}

uint8_t* TDAMemTable::CopyBytes(const uint8_t* data, size_t size, TDABinStorage* charge) {
  if (size == 0) return const_cast<uint8_t*>(internal::NoBytes());
  if (charge != nullptr) charge->ChargeModelBytes(size);
  uint8_t* p = arena_.Allocate(size);
  std::memcpy(p, data, size);
  return p;
}

TDAMemRow* TDAMemTable::AllocateRow(TDABinStorage* charge) {
  if (!layout_ready_) PrepareLayout();
  if (charge != nullptr) charge->ChargeModelBytes(sizeof(TDAMemRow) + sizeof(TDAMemRow*));
  return new (arena_.Allocate(sizeof(TDAMemRow))) TDAMemRow(this);
}

TDAMemRow* TDAMemTable::NewRow(bool set_defaults) {
  TDAMemRow* row = AllocateRow(nullptr);
  row->versions_[TDAMemRow::kProposed] = internal::EmptyRecord();
  if (set_defaults) {
    for (size_t i = 0; i < columns_.size(); ++i) {
      const TDAMemColumn& c = columns_[i];
      if (!c.AutoIncrement || !IsIntegerType(c.DataType)) continue;
      uint8_t bytes[8];
      StoreInteger(c.DataType, bytes, next_auto_inc_[i]);
      row->SetData(i,
                   StoredValue::Of(bytes, static_cast<size_t>(common::FixedValueSize(c.DataType))));
      next_auto_inc_[i] = SaturatedAdd(next_auto_inc_[i], c.AutoIncrementStep);
    }
  }
  return row;
}

void TDAMemTable::NoteAutoIncrement(const TDAMemRow& row) {
  if (!has_auto_inc_) return;
  for (size_t i = 0; i < columns_.size(); ++i) {
    const TDAMemColumn& c = columns_[i];
    if (!c.AutoIncrement || !IsIntegerType(c.DataType)) continue;
    StoredValue v;
    if (!row.GetData(i, v)) continue;
    const int64_t next = SaturatedAdd(LoadInteger(c.DataType, v.data), c.AutoIncrementStep);
    if (c.AutoIncrementStep >= 0 ? next > next_auto_inc_[i] : next < next_auto_inc_[i]) {
      next_auto_inc_[i] = next;
    }
  }
}

void TDAMemTable::AppendLoadedRow(TDAMemRow* row) {
  if (!rows_.empty() && row->row_id_ <= rows_.back()->row_id_) ordered_ = false;
  if (row->row_id_ != TDAMemRow::kNoRowID && row->row_id_ >= next_row_id_) {
    next_row_id_ = row->row_id_ + 1;
  }
  row->in_table_ = true;
  rows_.push_back(row);
  row_index_valid_ = false;
  NoteAutoIncrement(*row);
}

void TDAMemTable::AppendRow(TDAMemRow* row) {
  if (row == nullptr || row->table_ != this || row->in_table_ ||
      row->state_ != TDAMemRowState::rsDetached) {
    throw std::logic_error("only a new row of this table can be appended");
  }
  if (next_row_id_ == TDAMemRow::kNoRowID) throw std::length_error("RowIDs exhausted");
  auto& v = row->versions_;
  v[TDAMemRow::kCurrent] =
      v[TDAMemRow::kProposed] ? v[TDAMemRow::kProposed] : internal::EmptyRecord();
  v[TDAMemRow::kProposed] = nullptr;
  row->state_ = TDAMemRowState::rsInserted;
  row->prior_state_ = TDAMemRowState::rsDetached;
  row->row_id_ = next_row_id_;
  AppendLoadedRow(row);
  if (!bulk_loading_) ServingJournal().RegisterRow(row);
}

void TDAMemTable::AppendFetchedRow(TDAMemRow* row) {
  if (row == nullptr || row->table_ != this || row->in_table_ ||
      row->state_ != TDAMemRowState::rsDetached) {
    throw std::logic_error("only a new row of this table can be appended");
  }
  if (next_row_id_ == TDAMemRow::kNoRowID) throw std::length_error("RowIDs exhausted");
  auto& v = row->versions_;
  v[TDAMemRow::kOriginal] =
      v[TDAMemRow::kProposed] ? v[TDAMemRow::kProposed] : internal::EmptyRecord();
  v[TDAMemRow::kProposed] = nullptr;
  row->state_ = TDAMemRowState::rsUnchanged;
  row->prior_state_ = TDAMemRowState::rsDetached;
  row->row_id_ = next_row_id_;
  AppendLoadedRow(row);
}

void TDAMemTable::RemoveRow(TDAMemRow* row) {
  if (!row->in_table_) return;
  if (row->journal_ != nullptr) row->journal_->UnregisterRow(row);
  if (row->has_error_) row->SetError(nullptr);
  views_.ForgetRow(row);
  for (int slot = 0; slot < 3; ++slot) {
    if (row->versions_[slot] != nullptr) row->ReleaseVersion(slot);
  }
  row->in_table_ = false;
  ++removed_;
  row_index_valid_ = false;
}

void TDAMemTable::Compact() const {
  if (removed_ == 0) return;
  std::erase_if(rows_, [](const TDAMemRow* r) { return !r->in_table_; });
  removed_ = 0;
}

size_t TDAMemTable::RowCount() const {
  Compact();
  return rows_.size();
}

TDAMemRow* TDAMemTable::Row(size_t index) const {
  Compact();
  return rows_.at(index);
}

std::span<TDAMemRow* const> TDAMemTable::Rows() const {
  Compact();
  return rows_;
}

TDAMemRow* TDAMemTable::FindRow(uint32_t row_id) const {
  Compact();
  if (ordered_) {
    auto it = std::lower_bound(rows_.begin(), rows_.end(), row_id,
                               [](const TDAMemRow* r, uint32_t id) { return r->row_id_ < id; });
    return (it != rows_.end() && (*it)->row_id_ == row_id) ? *it : nullptr;
  }
  if (!row_index_valid_) {
    row_index_.clear();
    for (TDAMemRow* r : rows_) row_index_.emplace(r->row_id_, r);
    row_index_valid_ = true;
  }
  auto it = row_index_.find(row_id);
  return it == row_index_.end() ? nullptr : it->second;
}

void TDAMemTable::ClearRows() {
  journal_.ForgetTable(this);
  if (manager_ != nullptr) manager_->Journal().ForgetTable(this);
  views_.ForgetAllRows();
  errors_.clear();
  rows_.clear();
  removed_ = 0;
  row_index_.clear();
  row_index_valid_ = false;
  free_records_.clear();
  arena_.Reset();
  next_row_id_ = 0;
  ordered_ = true;
  for (size_t i = 0; i < next_auto_inc_.size() && i < columns_.size(); ++i) {
    next_auto_inc_[i] = columns_[i].AutoIncrementSeed;
  }
}

TDAMemTable* TDAMemTable::NestedParentTable() const {
  if (manager_ == nullptr) return nullptr;
  const auto& relations = manager_->Relations();
  for (size_t i = 0; i < relations.size(); ++i) {
    if (relations[i].Nested && relations[i].ChildTable == name_) {
      return manager_->FindTable(relations[i].ParentTable);
    }
  }
  return nullptr;
}

void TDAMemTable::Reset(TDABinStorage* storage) {
  if (manager_ != nullptr) manager_->Relations().RemoveTouching(name_, storage);
  ClearRows();
  journal_.Clear();
  constraints_.Clear(storage);
  views_.Clear(storage);
  columns_.Clear(storage);
}

void TDAMemTable::WriteStructure(TDABinStorage& storage, int tab_id) const {
  const uint32_t version = storage.StreamVersion();
  TDANamedObject::WriteMembers(storage);
  storage.WriteString("SourceName", SourceName, "");
  storage.WriteInteger("SourceID", SourceID, 0);
  if (!storage.HasStoreItem(TDAStoreItem::siMeta)) return;
  storage.WriteInteger("TabID", tab_id, -1);
  storage.WriteBoolean("CaseSensitive", CaseSensitive, true);
  storage.WriteBoolean("EnforceConstraints", EnforceConstraints, true);
  storage.WriteLongWord("Locale", Locale, 1024);
  storage.WriteInteger("MinimumCapacity", MinimumCapacity, 0);
  storage.WriteBoolean("Nested", Nested, false);
  storage.WriteBoolean("Round2Scale", Round2Scale, false);
  if (version >= 14) storage.WriteBoolean("CheckPrecision", CheckPrecision, false);
  if (version >= 7) storage.WriteBoolean("StrsTrim2Len", StrsTrim2Len, false);
  storage.WriteBoolean("CheckNotNull", CheckNotNull, true);
  if (version >= 6) storage.WriteBoolean("CheckReadOnly", CheckReadOnly, true);
  if (version >= 12) storage.WriteInteger("InlineDataSize", columns_.InlineDataSize, 1000);
  columns_.SaveToStorage(storage);
  constraints_.SaveToStorage(storage);
  views_.SaveToStorage(storage);
}

void TDAMemTable::WriteRowList(TDABinStorage& storage) const {
  const uint32_t version = storage.StreamVersion();
  const TDAMemView* view =
      storage.HasStoreItem(TDAStoreItem::siVisible) ? storage.FindRowFilter(this) : nullptr;
  if (view != nullptr && view->Table() != this) view = nullptr;
  const std::string_view name =
      version >= 10 ? "RowList" : (view != nullptr ? "ViewRowList" : "TableRowList");
  const bool delta_only =
      storage.HasStoreItem(TDAStoreItem::siDelta) && !storage.HasStoreItem(TDAStoreItem::siData);
  storage.WriteObjectBegin(name, TDAStorageObjectStyle::osFlatArray);
  try {
    RowAccess::Names names;
    auto write = [&](const TDAMemRow* row) {
      if (delta_only && row->state_ != TDAMemRowState::rsInserted &&
          row->state_ != TDAMemRowState::rsDeleted && row->state_ != TDAMemRowState::rsModified) {
        return;
      }
      RowAccess::WriteRow(storage, *this, *row, names);
      storage.RowWritten();
    };
    if (view != nullptr) {
      storage.BeginRowList(view->Rows().size());
      for (const TDAMemRow* row : view->Rows()) {
        if (row->table_ == this && row->in_table_) write(row);
      }
    } else {
      Compact();
      storage.BeginRowList(rows_.size());
      for (const TDAMemRow* row : rows_) write(row);
    }
    storage.EndRowList();
  } catch (...) {
    storage.EndRowList();
    storage.WriteObjectEnd(name, TDAStorageObjectStyle::osFlatArray);
    throw;
  }
  storage.WriteObjectEnd(name, TDAStorageObjectStyle::osFlatArray);
}

void TDAMemTable::WriteMembers(TDABinStorage& storage) const {
  WriteStructure(storage, TabID());
  if (storage.HasStoreItem(TDAStoreItem::siData) || storage.HasStoreItem(TDAStoreItem::siDelta)) {
    WriteRowList(storage);
  }
  if (UpdatesRegistry() && storage.HasStoreItem(TDAStoreItem::siDelta)) {
    journal_.SaveToStorage(storage);
  }
}

void TDAMemTable::ReadRowList(TDABinStorage& storage, std::string_view name) {
  TDABinStorage::DepthGuard depth(storage);
  storage.ReadObjectBegin(name, TDAStorageObjectStyle::osFlatArray);
  storage.BeginActionScope();
  try {
    std::unique_ptr<RowAccess::NameKeys> keys;
    std::unique_ptr<RowAccess::RowNames> names;
    while (!storage.IsObjectEnd()) {
      TDAMemRow* row = AllocateRow(&storage);
      if (names == nullptr) {
        names = std::make_unique<RowAccess::RowNames>(RowAccess::ResolveRowNames(storage));
        if (storage.StreamVersion() < 4) {
          keys = std::make_unique<RowAccess::NameKeys>(RowAccess::BuildNameKeys(storage, *this));
        }
      }
      if (!names->usable || !RowAccess::ReadRowFast(storage, *this, *row, *names)) {
        RowAccess::ReadRow(storage, *this, *row, keys.get());
      }
      AppendLoadedRow(row);
    }
  } catch (...) {
    storage.AbandonActionScope();
    throw;
  }
  storage.EndActionScope();
  storage.ReadObjectEnd(name, TDAStorageObjectStyle::osFlatArray);
}

void TDAMemTable::ReadMembers(TDABinStorage& storage) {
  const uint32_t version = storage.StreamVersion();
  const bool meta = storage.HasStoreItem(TDAStoreItem::siMeta);
  if (meta) {
    Reset(&storage);
  } else {
    ClearRows();
    journal_.Clear();
  }
  TDANamedObject::ReadMembers(storage);
  SourceName = storage.ReadString("SourceName", "");
  SourceID = storage.ReadInteger("SourceID", 0);
  if (meta) {
    storage.ReadInteger("TabID", -1);  // the position is the place in the stream
    CaseSensitive = storage.ReadBoolean("CaseSensitive", true);
    if (version >= 12) {
      const bool stored = storage.ReadBoolean("EnforceConstraints", true);
      EnforceConstraints = false;
      if (stored) {
        storage.QueueAction(
            "EnforceConstraints", "True",
            [this](std::string_view, std::string_view) { EnforceConstraints = true; });
      }
    } else {
      EnforceConstraints = storage.ReadBoolean("EnforceConstraints", true);
    }
    Locale = storage.ReadLongWord("Locale", 1024);
    MinimumCapacity = storage.ReadInteger("MinimumCapacity", 0);
    Nested = storage.ReadBoolean("Nested", false);
    Round2Scale = storage.ReadBoolean("Round2Scale", false);
    CheckPrecision = version >= 14 ? storage.ReadBoolean("CheckPrecision", false) : false;
    StrsTrim2Len = version >= 7 ? storage.ReadBoolean("StrsTrim2Len", false) : false;
    CheckNotNull = storage.ReadBoolean("CheckNotNull", true);
    CheckReadOnly = version >= 6 ? storage.ReadBoolean("CheckReadOnly", true) : true;
    if (version >= 12) columns_.InlineDataSize = storage.ReadInteger("InlineDataSize", 1000);
    columns_.LoadFromStorage(storage);
    constraints_.LoadFromStorage(storage);
    views_.LoadFromStorage(storage);
  }
  if (storage.HasStoreItem(TDAStoreItem::siData) || storage.HasStoreItem(TDAStoreItem::siDelta)) {
    bulk_loading_ = true;
    struct EndBulk {
      bool& flag;
      ~EndBulk() { flag = false; }
    } end_bulk{bulk_loading_};
    const uint64_t bookmark = storage.GetBookmark();
    const std::string_view name = version >= 10 ? "RowList" : "TableRowList";
    try {
      ReadRowList(storage, name);
    } catch (const EDAException& e) {
      // Streams of version 9 may name the row list "TableRowList_Updates".
      if (version != 9 || e.DACode() != kDAErrReadObject) throw;
      storage.SetBookmark(bookmark);
      ClearRows();
      ReadRowList(storage, "TableRowList_Updates");
    }
  }
  if (UpdatesRegistry() && storage.HasStoreItem(TDAStoreItem::siDelta) &&
      storage.TestObject("UpdatesJournal")) {
    journal_.LoadFromStorage(storage);
  }
}

// ---------------------------------------------------------------------------------------------

TDAMemTable& TDAMemTableList::Add(std::string name) {
  auto t = std::make_unique<TDAMemTable>(manager_);
  t->SetName(std::move(name));
  items_.push_back(std::move(t));
  return *items_.back();
}

TDAMemTable* TDAMemTableList::Find(std::string_view name) {
  for (auto& t : items_) {
    if (t->Name() == name) return t.get();
  }
  return nullptr;
}

const TDAMemTable* TDAMemTableList::Find(std::string_view name) const {
  return const_cast<TDAMemTableList*>(this)->Find(name);
}

int TDAMemTableList::IndexOf(const TDAMemTable* table) const {
  for (size_t i = 0; i < items_.size(); ++i) {
    if (items_[i].get() == table) return static_cast<int>(i);
  }
  return -1;
}

void TDAMemTableList::Clear(TDABinStorage* storage) {
  for (auto& t : items_) {
    if (manager_ != nullptr) manager_->Journal().ForgetTable(t.get());
    t->SetManager(nullptr);
  }
  internal::RetireItems(storage, items_);
}

void TDAMemTableList::WriteMembers(TDABinStorage& storage) const {
  internal::SaveItems(storage, items_);
}

void TDAMemTableList::ReadMembers(TDABinStorage& storage) {
  TDAMemTable* first = nullptr;
  if (!storage.HasStoreItem(TDAStoreItem::siMeta) && !items_.empty()) first = items_[0].get();
  internal::LoadNamedItems<TDAMemTable>(
      storage, items_, "Table", [this](TDAMemTable& t) { t.SetManager(manager_); }, first);
}

}  // namespace storage
