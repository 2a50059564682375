#include "storage/bin_storage.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "common/text.h"
#include "storage/storable.h"

namespace storage {
namespace {

constexpr uint8_t kObjectBegin = 0xFF;
constexpr uint8_t kObjectEnd = 0xFE;
constexpr char kMagic[4] = {'A', 'D', 'B', 'S'};
// Estimates of a row list's size below this are not worth a reservation.
constexpr uint64_t kMinPresize = 40960;

bool IsAscii(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// UTF-16 code units of a UTF-8 text.
size_t Utf16Length(std::string_view utf8) {
  if (IsAscii(utf8)) return utf8.size();
  return common::Utf8ToUtf16(utf8).size();
}

// Writes UTF-8 text as UTF-16LE at `p` (which has room for 2 x Utf16Length bytes).
void PutUtf16(uint8_t* p, std::string_view utf8) {
  if (IsAscii(utf8)) {
    for (char c : utf8) {
      *p++ = static_cast<uint8_t>(c);
      *p++ = 0;
    }
    return;
  }
  for (char16_t u : common::Utf8ToUtf16(utf8)) {
    *p++ = static_cast<uint8_t>(u);
    *p++ = static_cast<uint8_t>(u >> 8);
  }
}

std::string Utf16LEToUtf8(const uint8_t* p, size_t byte_length) {
  const size_t units = byte_length / 2;
  bool ascii = true;
  for (size_t i = 0; i < units; ++i) {
    if (p[2 * i + 1] != 0 || p[2 * i] >= 0x80) {
      ascii = false;
      break;
    }
  }
  if (ascii) {
    std::string s(units, '\0');
    for (size_t i = 0; i < units; ++i) s[i] = static_cast<char>(p[2 * i]);
    return s;
  }
  std::u16string w(units, u'\0');
  for (size_t i = 0; i < units; ++i) w[i] = common::LoadLE<char16_t>(p + 2 * i);
  return common::Utf16ToUtf8(w);
}

[[noreturn]] void Corrupt() { throw StoreError(kDAErrInvalidFormat); }

}  // namespace

std::string ResolveStorageFormat(const TDAResOptions* options) {
  // The binary container's registration: "BIN;.DAS;.DAB;.BIN;.DAT;".
  static constexpr std::string_view kBinExtensions[] = {".DAS", ".DAB", ".BIN", ".DAT"};
  if (options != nullptr && !options->DefaultStoreExt.empty()) {
    for (std::string_view ext : kBinExtensions) {
      if (common::EqualsIgnoreAsciiCase(ext, options->DefaultStoreExt)) return "BIN";
    }
  }
  static constexpr std::string_view kFormatNames[] = {"BIN", "XML", "BIN", "JSON"};
  const auto format = options != nullptr ? options->DefaultStoreFormat : TDAStorageFormat::sfAuto;
  const size_t i = static_cast<size_t>(format);
  const std::string_view name = i < std::size(kFormatNames) ? kFormatNames[i] : "";
  if (name != "BIN") throw StoreError(kDAErrUnknownFormat, name);
  return std::string(name);
}

TDABinStorage::TDABinStorage(TDAStorageMode mode, const TDAResOptions* options) : mode_(mode) {
  if (options != nullptr) {
    has_options_ = true;
    options_ = *options;
  }
}

TDABinStorage::~TDABinStorage() {
  try {
    Close();
  } catch (...) {
    // A destructor cannot report; callers that need the outcome call Close() themselves.
  }
}

std::unique_ptr<TDABinStorage> TDABinStorage::NewWriter(const TDAResOptions* options) {
  std::unique_ptr<TDABinStorage> s(new TDABinStorage(TDAStorageMode::smWrite, options));
  if (options != nullptr && options->StoreVersion != -1) {
    if (options->StoreVersion < 1 || options->StoreVersion > 0xFFFF) {
      throw std::invalid_argument("StoreVersion must be -1 or 1 to 65535");
    }
    s->version_ = static_cast<uint32_t>(options->StoreVersion);
  }
  return s;
}

std::unique_ptr<TDABinStorage> TDABinStorage::OpenWrite(common::Bytes& out,
                                                        const TDAResOptions* options) {
  std::unique_ptr<TDABinStorage> s = NewWriter(options);
  s->out_ = &out;
  s->base_ = out.size();
  s->pos_ = out.size();
  std::memset(s->AppendRaw(kHeaderSize), 0, kHeaderSize);
  return s;
}

std::unique_ptr<TDABinStorage> TDABinStorage::OpenWrite(common::ChunkedBytes& out,
                                                        const TDAResOptions* options) {
  std::unique_ptr<TDABinStorage> s = NewWriter(options);
  out.chunks.emplace_back();
  s->chunks_ = &out.chunks;
  s->header_chunk_ = out.chunks.size() - 1;
  s->out_ = &out.chunks.back();
  std::memset(s->AppendRaw(kHeaderSize), 0, kHeaderSize);
  return s;
}

std::unique_ptr<TDABinStorage> TDABinStorage::OpenRead(common::ByteSpan in,
                                                       const TDAResOptions* options) {
  std::unique_ptr<TDABinStorage> s(new TDABinStorage(TDAStorageMode::smRead, options));
  if (in.size() < kHeaderSize || std::memcmp(in.data(), kMagic, 4) != 0) Corrupt();
  s->in_ = in;
  s->version_ = common::LoadLE<uint16_t>(in.data() + 4);
  const uint32_t d = common::LoadLE<uint32_t>(in.data() + 8);
  if (d < kHeaderSize || d > in.size()) Corrupt();
  s->dictionary_offset_ = d;
  size_t p = d;
  while (in.size() - p >= 2) {
    const uint16_t len = common::LoadLE<uint16_t>(in.data() + p);
    p += 2;
    if (len > in.size() - p || len % 2 != 0) Corrupt();
    if (s->names_.size() >= kMaxNames) Corrupt();
    s->names_.push_back(Utf16LEToUtf8(in.data() + p, len));
    p += len;
  }
  s->pos_ = kHeaderSize;
  s->end_ = d;
  return s;
}

void TDABinStorage::Close() {
  if (closed_) return;
  closed_ = true;
  if (mode_ == TDAStorageMode::smWrite) {
    const uint64_t body_end = CurrentSize();
    // The header keeps the dictionary offset in 32 bits.
    if (body_end > 0xFFFFFFFFu) throw std::length_error("dataset stream larger than 4 GiB");
    size_t total = 0;
    std::vector<size_t> units(names_.size());
    for (size_t i = 0; i < names_.size(); ++i) {
      units[i] = Utf16Length(names_[i]);
      total += 2 + 2 * units[i];
    }
    uint8_t* p = AppendRaw(total);
    for (size_t i = 0; i < names_.size(); ++i) {
      common::StoreLE(p, static_cast<uint16_t>(2 * units[i]));
      PutUtf16(p + 2, names_[i]);
      p += 2 + 2 * units[i];
    }
    uint8_t* h = chunks_ != nullptr ? (*chunks_)[header_chunk_].data() : out_->data() + base_;
    std::memcpy(h, kMagic, 4);
    common::StoreLE(h + 4, static_cast<uint16_t>(version_));
    common::StoreLE(h + 6, uint16_t{0});
    common::StoreLE(h + 8, static_cast<uint32_t>(body_end));
    out_->resize(pos_);
  }
  names_.clear();
  index_.clear();
}

bool TDABinStorage::HasStoreItem(TDAStoreItem item) const {
  if (static_cast<unsigned>(item) > 7) return false;
  return !has_options_ || options_.StoreItems.Has(item);
}

// ---------------------------------------------------------------------------------------------
// Writing

void TDABinStorage::Expand(size_t n) {
  if (pos_ + n > out_->capacity()) {
    if (chunks_ != nullptr) {
      GrowChunked(n);
    } else {
      GrowContiguous(n);
    }
  }
  // Zero the room in steps that stay in cache until the writes that follow fill them.
  constexpr size_t kStep = 64 * 1024;
  out_->resize(std::min(out_->capacity(), std::max(pos_ + n, out_->size() + kStep)));
}

void TDABinStorage::GrowContiguous(size_t n) {
  const size_t need = pos_ + n;
  const size_t cap = out_->capacity();
  size_t target;
  if (sizing_.active && sizing_.done > 0 && sizing_.total > sizing_.done) {
    // Inside a row list of known length: project the rest from the rows so far, so that
    // the output grows once more instead of doubling.
    const uint64_t avg = (pos_ - base_ - sizing_.start) / sizing_.done + 1;
    const uint64_t rest = sizing_.total - sizing_.done;
    target = static_cast<size_t>(need + avg * rest + avg * rest / 8 + 4096);
  } else if (sizing_.presized) {
    target = need + 65536;  // the small tail after a pre-sized row list
  } else {
    target = std::max({need, cap + cap / 2, size_t{1024}});
  }
  out_->reserve(target);
}

void TDABinStorage::GrowChunked(size_t n) {
  // A chunk grows in place while it is small (a one-row result stays one short buffer); past
  // that it is closed where it ends and the writes go on in a new chunk of about an eighth of
  // what is written so far, so the unused room never exceeds that eighth.
  constexpr size_t kMinChunk = 64 * 1024;
  constexpr size_t kMaxChunk = 8 * 1024 * 1024;
  const size_t used = pos_ - base_;
  if (used < kMinChunk) {
    out_->reserve(std::max({pos_ + n, out_->capacity() * 2, size_t{1024}}));
    return;
  }
  out_->resize(pos_);
  sealed_ += used;
  chunks_->emplace_back();
  out_ = &chunks_->back();
  base_ = 0;
  pos_ = 0;
  const uint64_t eighth = std::clamp<uint64_t>(sealed_ / 8, kMinChunk, kMaxChunk);
  out_->reserve(std::max(n, static_cast<size_t>(eighth)));
}

void TDABinStorage::WriteU16(uint16_t v) { common::StoreLE(AppendRaw(2), v); }
void TDABinStorage::WriteU32(uint32_t v) { common::StoreLE(AppendRaw(4), v); }

size_t TDABinStorage::NameHash::operator()(std::string_view name) const {
  // FNV-1a over the ASCII-uppercased bytes.
  uint64_t h = 14695981039346656037ull;
  for (char c : name) {
    const auto b = static_cast<unsigned char>(c);
    h = (h ^ (b >= 'a' && b <= 'z' ? b - ('a' - 'A') : b)) * 1099511628211ull;
  }
  return static_cast<size_t>(h);
}

bool TDABinStorage::NameEqual::operator()(std::string_view a, std::string_view b) const {
  return common::EqualsIgnoreAsciiCase(a, b);
}

uint16_t TDABinStorage::EnterName(std::string_view name) {
  if (mode_ != TDAStorageMode::smWrite) throw std::logic_error("EnterName on a reader");
  if (auto it = index_.find(name); it != index_.end()) return it->second;
  if (names_.size() >= kMaxNames || names_.size() >= 0xFFFF) {
    throw StoreError(kDAErrDictOverflow);
  }
  if (Utf16Length(name) > 0x7FFF) throw std::length_error("name too long for the dictionary");
  const auto id = static_cast<uint16_t>(names_.size());
  names_.emplace_back(name);
  index_.emplace(name, id);
  if (names_.size() == 254) {
    // Reserve 254 and 255, so that no property id has FE or FF as its low byte.
    for (std::string_view reserved : {std::string_view("<end>"), std::string_view("<begin>")}) {
      index_.emplace(reserved, static_cast<uint16_t>(names_.size()));
      names_.emplace_back(reserved);
    }
  }
  return id;
}

void TDABinStorage::WritePropertyId(std::string_view name) { WriteU16(EnterName(name)); }

void TDABinStorage::WriteObjectBegin(std::string_view name, TDAStorageObjectStyle) {
  const uint16_t id = EnterName(name);
  // The object-begin item keeps only the id's low byte.
  if (id > 253) throw StoreError(kDAErrDictOverflow);
  uint8_t* p = AppendRaw(2);
  p[0] = kObjectBegin;
  p[1] = static_cast<uint8_t>(id);
}

void TDABinStorage::WriteObjectEnd(std::string_view, TDAStorageObjectStyle) {
  *AppendRaw(1) = kObjectEnd;
}

void TDABinStorage::WriteBoolean(std::string_view name, bool value, bool def) {
  if (value == def) return;
  WritePropertyId(name);
  *AppendRaw(1) = value ? 1 : 0;
}

void TDABinStorage::WriteInteger(std::string_view name, int32_t value, int32_t def) {
  if (value == def) return;
  WritePropertyId(name);
  common::StoreLE(AppendRaw(4), value);
}

void TDABinStorage::WriteLongWord(std::string_view name, uint32_t value, uint32_t def) {
  if (value == def) return;
  WritePropertyId(name);
  common::StoreLE(AppendRaw(4), value);
}

void TDABinStorage::WriteInt64(std::string_view name, int64_t value, int64_t def) {
  if (value == def) return;
  WritePropertyId(name);
  common::StoreLE(AppendRaw(8), value);
}

void TDABinStorage::WriteFloat(std::string_view name, double value, double def) {
  if (value == def) return;  // false for a NaN, which is therefore always written
  WritePropertyId(name);
  StoreDoubleLE(AppendRaw(8), value);
}

void TDABinStorage::WriteDate(std::string_view name, double value, double def) {
  WriteFloat(name, value, def);
}

void TDABinStorage::WriteString(std::string_view name, std::string_view value,
                                std::string_view def) {
  if (value == def) return;
  WritePropertyId(name);
  const size_t units = Utf16Length(value);
  if (units > 0x7FFFFFFF) throw std::length_error("string too long for the stream");
  uint8_t* p = AppendRaw(4 + 2 * units);
  common::StoreLE(p, static_cast<uint32_t>(2 * units));
  PutUtf16(p + 4, value);
}

void TDABinStorage::WriteAnsiString(std::string_view name, std::string_view bytes,
                                    std::string_view def) {
  if (bytes == def) return;
  WritePropertyId(name);
  if (bytes.size() > 0xFFFFFFFFu) throw std::length_error("string too long for the stream");
  uint8_t* p = AppendRaw(4 + bytes.size());
  common::StoreLE(p, static_cast<uint32_t>(bytes.size()));
  if (!bytes.empty()) std::memcpy(p + 4, bytes.data(), bytes.size());
}

void TDABinStorage::WriteEnum(std::string_view name, const EnumTypeInfo& type, int value, int def) {
  if (value == def) return;
  const std::string_view ident = type.Identifier(value);
  const std::string_view def_ident = type.Identifier(def);
  if (ident.empty()) throw std::invalid_argument("enumeration value out of range");
  if (version_ >= 5) {
    // The identifier is entered before the property's name.
    uint16_t ident_id;
    if (last_enum_type_ == &type && last_enum_value_ == value) {
      ident_id = last_enum_id_;
    } else {
      ident_id = EnterName(ident);
      last_enum_type_ = &type;
      last_enum_value_ = value;
      last_enum_id_ = ident_id;
    }
    const uint16_t prop_id = EnterName(name);
    uint8_t* p = AppendRaw(4);
    common::StoreLE(p, prop_id);
    common::StoreLE(p + 2, ident_id);
  } else if (version_ >= 3) {
    WriteString(name, ident.substr(2), def_ident.size() >= 2 ? def_ident.substr(2) : def_ident);
  } else {
    int stored = value;
    int stored_def = def;
    if (type.data_type_v1 && version_ == 1) {
      auto v = DataTypeToVersion1(value);
      auto d = DataTypeToVersion1(def);
      if (!v || !d) {
        throw std::invalid_argument("data type " + std::string(ident) +
                                    " has no ordinal in version 1 streams");
      }
      stored = *v;
      stored_def = *d;
    }
    WriteInteger(name, stored, stored_def);
  }
}

void TDABinStorage::WriteValue(std::string_view column_name, size_t index, DataType type,
                               const StoredValue& value) {
  if (!value.present) return;
  if (version_ >= 4) {
    if (index > 0xFFFF) throw std::length_error("column index above 65535");
    WriteU16(static_cast<uint16_t>(index));
  } else {
    WritePropertyId(column_name);
  }
  switch (type) {
    case DataType::dtBCD:
    case DataType::dtFmtBCD: {
      if (value.size < 1) throw std::invalid_argument("decimal value without its record");
      if (version_ >= 4) {
        const uint8_t n = static_cast<uint8_t>((value.data[0] + 1) / 2 + 2);
        if (n > 34 || n > value.size) throw std::invalid_argument("decimal precision above 64");
        uint8_t* p = AppendRaw(1 + n);
        p[0] = n;
        std::memcpy(p + 1, value.data, n);
      } else {
        if (value.size < 34) throw std::invalid_argument("decimal record shorter than 34 bytes");
        std::memcpy(AppendRaw(34), value.data, 34);
      }
      return;
    }
    case DataType::dtRowSetRef:
    case DataType::dtCursorRef:
    case DataType::dtRowRef:
    case DataType::dtArrayRef:
    case DataType::dtObject:
      return;  // the index alone marks a non-null value
    default:
      break;
  }
  if (common::IsVariableLengthType(type)) {
    uint8_t* p = AppendRaw(4 + size_t{value.size});
    common::StoreLE(p, value.size);
    if (value.size != 0) std::memcpy(p + 4, value.data, value.size);
    return;
  }
  const size_t n = static_cast<size_t>(common::FixedValueSize(type));
  if (value.size < n) throw std::invalid_argument("value shorter than its type's size");
  if (n != 0) std::memcpy(AppendRaw(n), value.data, n);
}

uint64_t TDABinStorage::CurrentSize() const {
  return mode_ == TDAStorageMode::smWrite ? sealed_ + pos_ - base_ : in_.size();
}

void TDABinStorage::ReserveCapacity(uint64_t factor, uint64_t start) {
  if (mode_ != TDAStorageMode::smWrite || chunks_ != nullptr) return;
  const uint64_t size = CurrentSize();
  if (start > size) return;
  const uint64_t estimate = (size - start) * factor;
  if (estimate <= kMinPresize) return;
  const uint64_t target = base_ + start + estimate;
  if (target > out_->capacity()) out_->reserve(static_cast<size_t>(target));
  sizing_.presized = true;
}

void TDABinStorage::BeginRowList(uint64_t total_rows) {
  sizing_.active = true;
  sizing_.start = static_cast<size_t>(CurrentSize());
  sizing_.total = total_rows;
  sizing_.done = 0;
}

void TDABinStorage::RowWritten() {
  ++sizing_.done;
  // After the 100th row of a list of 500 or more, reserve for the whole list.
  if (sizing_.done == 100 && sizing_.total >= 500) {
    ReserveCapacity(sizing_.total / 100 + 1, sizing_.start);
  }
}

void TDABinStorage::EndRowList() { sizing_.active = false; }

// ---------------------------------------------------------------------------------------------
// Reading

void TDABinStorage::Need(size_t n) const {
  if (Remaining() < n) Corrupt();
}

const std::string& TDABinStorage::EntryName(uint16_t id) const {
  if (id >= names_.size()) Corrupt();
  return names_[id];
}

bool TDABinStorage::NameMatches(uint16_t id, std::string_view name) const {
  const std::string& entry = EntryName(id);
  return entry.size() == name.size() && common::EqualsIgnoreAsciiCase(entry, name);
}

std::string TDABinStorage::ReadUtf16(size_t byte_length) {
  Need(byte_length);
  if (byte_length % 2 != 0) Corrupt();
  std::string s = Utf16LEToUtf8(in_.data() + pos_, byte_length);
  pos_ += byte_length;
  return s;
}

std::string_view TDABinStorage::ReadObjectBegin(std::string_view name, TDAStorageObjectStyle) {
  if (Remaining() < 1 || Byte(pos_) != kObjectBegin) {
    throw StoreError(kDAErrReadObject, "<unknown>");
  }
  Need(2);
  const std::string& found = EntryName(Byte(pos_ + 1));
  if (!name.empty() && !found.empty() && !NameMatches(Byte(pos_ + 1), name)) {
    throw StoreError(kDAErrReadObject, name);
  }
  pos_ += 2;
  return found;
}

void TDABinStorage::ReadObjectEnd(std::string_view, TDAStorageObjectStyle) {
  Need(1);
  ++pos_;
}

bool TDABinStorage::IsObjectEnd(std::string_view) const {
  return Remaining() >= 1 && Byte(pos_) == kObjectEnd;
}

bool TDABinStorage::TestObject(std::string_view name) const {
  if (Remaining() < 2 || Byte(pos_) != kObjectBegin) return false;
  return NameMatches(Byte(pos_ + 1), name);
}

bool TDABinStorage::TestAndReadObjectBegin(std::string_view name, TDAStorageObjectStyle) {
  if (!TestObject(name)) return false;
  pos_ += 2;
  return true;
}

bool TDABinStorage::TestProperty(std::string_view name) const {
  if (Remaining() < 2) return false;
  const uint8_t low = Byte(pos_);
  if (low == kObjectBegin || low == kObjectEnd) return false;
  return NameMatches(common::LoadLE<uint16_t>(in_.data() + pos_), name);
}

bool TDABinStorage::TestAndReadProperty(std::string_view name) {
  if (!TestProperty(name)) return false;
  pos_ += 2;
  return true;
}

bool TDABinStorage::ReadBoolean(std::string_view name, bool def) {
  if (!TestAndReadProperty(name)) return def;
  Need(1);
  return in_[pos_++] != 0;
}

int32_t TDABinStorage::ReadInteger(std::string_view name, int32_t def) {
  if (!TestAndReadProperty(name)) return def;
  Need(4);
  const auto v = common::LoadLE<int32_t>(in_.data() + pos_);
  pos_ += 4;
  return v;
}

uint32_t TDABinStorage::ReadLongWord(std::string_view name, uint32_t def) {
  if (!TestAndReadProperty(name)) return def;
  Need(4);
  const auto v = common::LoadLE<uint32_t>(in_.data() + pos_);
  pos_ += 4;
  return v;
}

int64_t TDABinStorage::ReadInt64(std::string_view name, int64_t def) {
  if (!TestAndReadProperty(name)) return def;
  Need(8);
  const auto v = common::LoadLE<int64_t>(in_.data() + pos_);
  pos_ += 8;
  return v;
}

double TDABinStorage::ReadFloat(std::string_view name, double def) {
  if (!TestAndReadProperty(name)) return def;
  Need(8);
  const double v = LoadDoubleLE(in_.data() + pos_);
  pos_ += 8;
  return v;
}

double TDABinStorage::ReadDate(std::string_view name, double def) { return ReadFloat(name, def); }

std::string TDABinStorage::ReadString(std::string_view name, std::string_view def) {
  if (!TestAndReadProperty(name)) return std::string(def);
  Need(4);
  const uint32_t len = common::LoadLE<uint32_t>(in_.data() + pos_);
  pos_ += 4;
  return ReadUtf16(len);
}

std::string TDABinStorage::ReadAnsiString(std::string_view name, std::string_view def) {
  if (!TestAndReadProperty(name)) return std::string(def);
  Need(4);
  const uint32_t len = common::LoadLE<uint32_t>(in_.data() + pos_);
  pos_ += 4;
  Need(len);
  std::string s(reinterpret_cast<const char*>(in_.data() + pos_), len);
  pos_ += len;
  return s;
}

int TDABinStorage::ReadEnum(std::string_view name, const EnumTypeInfo& type, int def) {
  if (version_ >= 5) {
    if (!TestAndReadProperty(name)) return def;
    Need(2);
    const uint16_t id = common::LoadLE<uint16_t>(in_.data() + pos_);
    pos_ += 2;
    const auto ordinal = type.Ordinal(EntryName(id));
    if (!ordinal) Corrupt();
    return *ordinal;
  }
  if (version_ >= 3) {
    const std::string text = ReadString(name, "");
    if (text.empty()) return def;
    const std::string_view def_ident = type.Identifier(def);
    const auto ordinal = type.Ordinal(std::string(def_ident.substr(0, 2)) + text);
    if (!ordinal) Corrupt();
    return *ordinal;
  }
  if (!TestAndReadProperty(name)) return def;
  Need(4);
  int32_t stored = common::LoadLE<int32_t>(in_.data() + pos_);
  pos_ += 4;
  if (type.data_type_v1 && version_ == 1 && stored >= 0 && stored < 0x10000) {
    stored = DataTypeFromVersion1(stored);
  }
  if (type.Identifier(stored).empty()) Corrupt();
  return stored;
}

std::optional<uint16_t> TDABinStorage::PeekUInt16() const {
  if (Remaining() < 2) return std::nullopt;
  return common::LoadLE<uint16_t>(in_.data() + pos_);
}

bool TDABinStorage::ReadValue(std::string_view column_name, size_t index, DataType type,
                              StoredValue& value) {
  value = StoredValue::Null();
  if (version_ >= 4) {
    if (Remaining() < 2 || common::LoadLE<uint16_t>(in_.data() + pos_) != index) return false;
    pos_ += 2;
  } else if (!TestAndReadProperty(column_name)) {
    return false;
  }
  size_t len;
  switch (type) {
    case DataType::dtBCD:
    case DataType::dtFmtBCD:
      if (version_ >= 4) {
        Need(1);
        const uint8_t n = in_[pos_];
        if (n > 34) Corrupt();
        Need(1 + size_t{n});
        // A precision above 64 digits cannot be a decimal record.
        if (n > 0 && in_[pos_ + 1] > 64) Corrupt();
        std::memcpy(bcd_scratch_, in_.data() + pos_ + 1, n);
        std::memset(bcd_scratch_ + n, 0, 34 - n);
        pos_ += 1 + size_t{n};
        value = StoredValue::Of(bcd_scratch_, 34);
        return true;
      }
      Need(34);
      if (in_[pos_] > 64) Corrupt();
      len = 34;
      break;
    case DataType::dtRowSetRef:
    case DataType::dtCursorRef:
    case DataType::dtRowRef:
    case DataType::dtArrayRef:
    case DataType::dtObject:
      len = 0;
      break;
    default:
      if (common::IsVariableLengthType(type)) {
        Need(4);
        len = common::LoadLE<uint32_t>(in_.data() + pos_);
        pos_ += 4;
        if (common::IsWideTextType(type) && len % 2 != 0) Corrupt();
      } else {
        len = static_cast<size_t>(common::FixedValueSize(type));
      }
      break;
  }
  Need(len);
  value = StoredValue::Of(in_.data() + pos_, len);
  pos_ += len;
  return true;
}

uint64_t TDABinStorage::GetBookmark() const {
  return mode_ == TDAStorageMode::smWrite ? sealed_ + pos_ - base_ : pos_;
}

void TDABinStorage::SetBookmark(uint64_t bookmark) {
  if (mode_ != TDAStorageMode::smRead) throw std::logic_error("SetBookmark on a writer");
  if (bookmark < kHeaderSize || bookmark > end_) Corrupt();
  pos_ = static_cast<size_t>(bookmark);
}

// ---------------------------------------------------------------------------------------------
// Registry, actions, filters, limits

void TDABinStorage::SaveObject(const TDAStorableObject& object) {
  TDAStorageManager::Instance().SaveObject(object, *this);
}

std::unique_ptr<TDAStorableObject> TDABinStorage::LoadObject() {
  return TDAStorageManager::Instance().LoadObject(*this);
}

void TDABinStorage::BeginActionScope() {
  if (level_ == 0) actions_.clear();
  ++level_;
}

void TDABinStorage::EndActionScope() {
  if (level_ <= 0) return;
  if (--level_ != 0) return;
  struct Discard {
    std::vector<Action>& actions;
    ~Discard() { actions.clear(); }
  } discard{actions_};
  // Actions may queue further actions; those run in the same pass.
  for (size_t i = 0; i < actions_.size(); ++i) {
    Action a = actions_[i];
    a.routine(a.name, a.value);
  }
}

void TDABinStorage::AbandonActionScope() {
  if (level_ <= 0) return;
  if (--level_ == 0) actions_.clear();
}

void TDABinStorage::QueueAction(std::string name, std::string value, ActionRoutine routine) {
  if (name.empty() || value.empty() || !routine) return;
  actions_.push_back({std::move(name), std::move(value), std::move(routine)});
}

void TDABinStorage::SetRowFilter(const TDAMemTable* table, const TDAMemView* view) {
  filters_[table] = view;
}

void TDABinStorage::ClearRowFilter(const TDAMemTable* table) { filters_.erase(table); }

const TDAMemView* TDABinStorage::FindRowFilter(const TDAMemTable* table) const {
  auto it = filters_.find(table);
  return it == filters_.end() ? nullptr : it->second;
}

TDABinStorage::DepthGuard::DepthGuard(TDABinStorage& storage) : storage_(storage) {
  if (++storage_.depth_ > kMaxDepth) {
    --storage_.depth_;
    Corrupt();
  }
}

void TDABinStorage::Retire(std::unique_ptr<TDAStorableObject> object) {
  if (object != nullptr) retired_.push_back(std::move(object));
}

void TDABinStorage::ChargeModelBytes(uint64_t bytes) {
  model_bytes_ += bytes;
  if (model_bytes_ > options_.MaxModelBytes) Corrupt();
}

}  // namespace storage
