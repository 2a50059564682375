#include "dataclient/dump_command.h"

#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <span>
#include <stdexcept>

#include "common/text.h"
#include "storage/dataset_stream.h"
#include "storage/value_codec.h"

namespace dataclient {
namespace {

using json = nlohmann::ordered_json;
using storage::DataType;

std::string HexOf(common::ByteSpan bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  s.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

json Number(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  return d;
}

std::string TimeText(int64_t ms, bool negative) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%s%02lld:%02lld:%02lld.%03lld", negative ? "-" : "",
                static_cast<long long>(ms / 3600000), static_cast<long long>(ms / 60000 % 60),
                static_cast<long long>(ms / 1000 % 60), static_cast<long long>(ms % 1000));
  return buf;
}

// A value in its JSON form: numbers, booleans and texts as themselves; decimals, currency,
// dates and times as text; binary values as hex.
json Value(DataType type, const storage::StoredValue& v) {
  if (!v.present) return nullptr;
  const common::ByteSpan b = v.bytes();
  try {
    switch (type) {
      case DataType::dtBoolean:
        return common::LoadLE<uint16_t>(b.data()) != 0;
      case DataType::dtSByte:
      case DataType::dtInt16:
      case DataType::dtInt32:
      case DataType::dtInt64:
        return *storage::StoredToVariant(type, b).ToInt64();
      case DataType::dtByte:
      case DataType::dtUInt16:
      case DataType::dtUInt32:
      case DataType::dtUInt64:
      case DataType::dtParentRowRef:
        return storage::StoredToVariant(type, b).uint_value();
      case DataType::dtSingle:
      case DataType::dtDouble:
      case DataType::dtExtended:
        return Number(storage::StoredToVariant(type, b).float_value());
      case DataType::dtCurrency:
      case DataType::dtDateTime:
      case DataType::dtDate:
      case DataType::dtAnsiString:
      case DataType::dtMemo:
      case DataType::dtHMemo:
        return common::Utf16ToUtf8(*storage::StoredToVariant(type, b).ToText());
      case DataType::dtTime: {
        const int32_t ms = common::LoadLE<int32_t>(b.data());
        return TimeText(ms < 0 ? -int64_t{ms} : ms, ms < 0);
      }
      case DataType::dtByteString:
      case DataType::dtBlob:
      case DataType::dtHBlob:
      case DataType::dtHBFile:
        return HexOf(b);
      case DataType::dtObject:
        return true;
      default:
        break;
    }
    const common::Variant var = storage::StoredToVariant(type, b);
    if (var.IsText()) return common::Utf16ToUtf8(var.text());
    return HexOf(b);
  } catch (const std::exception&) {
    return "<invalid " + HexOf(b) + ">";
  }
}

json Set(uint32_t bits, std::span<const std::string_view> identifiers) {
  json a = json::array();
  for (size_t i = 0; i < identifiers.size(); ++i) {
    if ((bits >> i) & 1) a.push_back(identifiers[i]);
  }
  return a;
}

std::string Enum(DataType t) { return std::string(common::DataTypeName(t)); }
template <typename E>
std::string Enum(E e) {
  return std::string(storage::EnumInfo<E>().Identifier(static_cast<int>(e)));
}

json Column(const storage::TDAMemColumn& c) {
  return json{{"Name", c.Name()},
              {"SourceName", c.SourceName},
              {"SourceID", c.SourceID},
              {"DataType", Enum(c.DataType)},
              {"Precision", c.Precision},
              {"Scale", c.Scale},
              {"Size", c.Size},
              {"Attributes", Set(c.Attributes().bits(), storage::DataAttributeIdentifiers())},
              {"AutoIncrement", c.AutoIncrement},
              {"AutoIncrementSeed", c.AutoIncrementSeed},
              {"AutoIncrementStep", c.AutoIncrementStep},
              {"Caption", c.Caption},
              {"Expression", c.Expression},
              {"Options", Set(c.Options().bits(), storage::DataOptionIdentifiers())},
              {"OriginTabName", c.OriginTabName},
              {"OriginColName", c.OriginColName},
              {"SourceDataType", Enum(c.SourceDataType)},
              {"SourcePrecision", c.SourcePrecision},
              {"SourceScale", c.SourceScale},
              {"SourceSize", c.SourceSize},
              {"SourceDataTypeName", c.SourceDataTypeName},
              {"SourceGenerator", c.SourceGenerator}};
}

json Constraint(const storage::TDAMemConstraintBase& c) {
  json j{{"class", std::string(c.StreamingName(nullptr))},
         {"Name", c.Name()},
         {"Enforce", c.Enforce},
         {"Rely", c.Rely},
         {"CheckTime", Enum(c.CheckTime)},
         {"Message", c.Message}};
  if (const auto* u = dynamic_cast<const storage::TDAMemUniqueConstraint*>(&c)) {
    j["ColumnNames"] = u->ColumnNames;
    j["Options"] = Set(u->Options.bits(), storage::SortOptionIdentifiers());
  } else if (const auto* f = dynamic_cast<const storage::TDAMemForeignKeyConstraint*>(&c)) {
    j["ColumnNames"] = f->ColumnNames;
    j["RelatedColumnNames"] = f->RelatedColumnNames;
    j["RelatedTableName"] = f->RelatedTableName;
    j["DeleteRule"] = Enum(f->DeleteRule);
    j["InsertRule"] = Enum(f->InsertRule);
    j["UpdateRule"] = Enum(f->UpdateRule);
    j["AcceptRejectRule"] = Enum(f->AcceptRejectRule);
    j["FieldValueRequired"] = f->FieldValueRequired;
    j["ParentMessage"] = f->ParentMessage;
  } else if (const auto* k = dynamic_cast<const storage::TDAMemCheckConstraint*>(&c)) {
    j["Expression"] = k->Expression;
  }
  return j;
}

json Mechanism(const storage::TDAMemMechBase& m) {
  json j{{"class", std::string(m.StreamingName(nullptr))},
         {"Active", m.Active},
         {"Locator", m.Locator}};
  if (const auto* s = dynamic_cast<const storage::TDAMemMechSort*>(&m)) {
    j["Expression"] = s->Expression;
    j["Columns"] = s->Columns;
    j["DescendingColumns"] = s->DescendingColumns;
    j["CaseInsensitiveColumns"] = s->CaseInsensitiveColumns;
    j["Options"] = Set(s->Options.bits(), storage::SortOptionIdentifiers());
  } else if (const auto* r = dynamic_cast<const storage::TDAMemMechRowState*>(&m)) {
    j["States"] = Set(r->States.bits(), storage::EnumInfo<storage::TDAMemRowState>().identifiers);
  } else if (const auto* f = dynamic_cast<const storage::TDAMemMechFilter*>(&m)) {
    j["Expression"] = f->Expression;
    j["Options"] = Set(f->Options.bits(), storage::ExpressionOptionIdentifiers());
  } else if (const auto* d = dynamic_cast<const storage::TDAMemMechDistinct*>(&m)) {
    j["ColumnCount"] = d->ColumnCount;
  }
  if (const auto* g = dynamic_cast<const storage::TDAMemMechRange*>(&m)) {
    j["BottomExclusive"] = g->BottomExclusive;
    j["TopExclusive"] = g->TopExclusive;
    j["BottomColumnCount"] = g->BottomColumnCount;
    j["TopColumnCount"] = g->TopColumnCount;
    if (const auto* d = dynamic_cast<const storage::TDAMemMechDetails*>(&m)) {
      j["ParentRelation"] = d->ParentRelation;
    }
    if (const auto* s = dynamic_cast<const storage::TDAMemMechMaster*>(&m)) {
      j["ChildRelation"] = s->ChildRelation;
    }
  }
  return j;
}

json View(const storage::TDAMemView& v) {
  json mechs = json::array();
  for (const auto& m : v.Mechanisms().Items()) mechs.push_back(Mechanism(*m));
  json aggregates = json::array();
  for (const auto& a : v.Aggregates().Items()) {
    aggregates.push_back({{"Name", a->Name()},
                          {"Active", a->Active},
                          {"Expression", a->Expression},
                          {"GroupingLevel", a->GroupingLevel}});
  }
  return json{{"Name", v.Name()},
              {"Active", v.Active},
              {"SourceView", v.SourceView},
              {"Mechanisms", mechs},
              {"Aggregates", aggregates}};
}

json Error(const storage::EDAException& e) {
  json j{{"class", e.class_name()},
         {"DACode", e.DACode()},
         {"Message", e.Message()},
         {"DAObjName", e.DAObjName()}};
  if (const auto* engine = dynamic_cast<const storage::EDADBEngineException*>(&e)) {
    json errors = json::array();
    for (const auto& d : engine->Errors()) {
      errors.push_back({{"ErrorCode", d.ErrorCode},
                        {"Kind", d.Kind},
                        {"Level", d.Level},
                        {"Message", d.Message},
                        {"ObjName", d.ObjName},
                        {"CommandTextOffset", d.CommandTextOffset},
                        {"RowIndex", d.RowIndex}});
    }
    j["DBErrors"] = errors;
  }
  return j;
}

json Row(const storage::TDAMemTable& t, const storage::TDAMemRow& r,
         const std::vector<std::string>& keys) {
  json j;
  j["RowID"] = r.RowID() == storage::TDAMemRow::kNoRowID ? json(nullptr) : json(r.RowID());
  j["RowState"] = Enum(r.RowState());
  j["RowPriorState"] = Enum(r.RowPriorState());
  if (r.IsJournalled()) j["ChangeNumber"] = r.ChangeNumber();
  if (r.ParentRowID() != storage::TDAMemRow::kNoRowID) j["ParentRowID"] = r.ParentRowID();
  if (const auto* e = r.Error()) j["Error"] = Error(*e);
  const std::pair<const char*, storage::TDAMemRowVersion> versions[] = {
      {"Original", storage::TDAMemRowVersion::rvOriginal},
      {"Current", storage::TDAMemRowVersion::rvCurrent},
      {"Proposed", storage::TDAMemRowVersion::rvProposed}};
  for (const auto& [name, version] : versions) {
    if (!r.HasVersion(version)) continue;
    json values = json::object();
    for (size_t c = 0; c < t.Columns().size(); ++c) {
      values[keys[c]] = Value(t.Columns()[c].DataType, r.Value(c, version));
    }
    j[name] = values;
  }
  return j;
}

json Journal(const storage::TDAMemUpdatesJournal& journal, bool with_table) {
  json changes = json::array();
  for (const storage::TDAMemRow* r = journal.FirstChange(); r != nullptr;
       r = journal.NextChange(r)) {
    json c;
    if (with_table) c["TabID"] = r->Table()->TabID();
    c["RowID"] = r->RowID();
    c["ChangeNumber"] = r->ChangeNumber();
    changes.push_back(c);
  }
  return json{{"SavePoint", journal.SavePoint()}, {"Changes", changes}};
}

json Table(const storage::TDAMemTable& t) {
  json columns = json::array();
  // Values are keyed by column name; a repeated name gets "#" and its position.
  std::vector<std::string> keys;
  for (size_t c = 0; c < t.Columns().size(); ++c) {
    columns.push_back(Column(t.Columns()[c]));
    std::string key = t.Columns()[c].Name();
    for (const auto& k : keys) {
      if (k == key) {
        key += "#" + std::to_string(c);
        break;
      }
    }
    keys.push_back(key);
  }
  json constraints = json::array();
  for (size_t i = 0; i < t.Constraints().size(); ++i) {
    constraints.push_back(Constraint(t.Constraints()[i]));
  }
  json views = json::array();
  for (size_t i = 0; i < t.Views().size(); ++i) views.push_back(View(t.Views()[i]));
  json rows = json::array();
  for (const storage::TDAMemRow* r : t.Rows()) rows.push_back(Row(t, *r, keys));
  json j{{"properties",
          {{"Name", t.Name()},
           {"SourceName", t.SourceName},
           {"SourceID", t.SourceID},
           {"TabID", t.TabID()},
           {"CaseSensitive", t.CaseSensitive},
           {"EnforceConstraints", t.EnforceConstraints},
           {"Locale", t.Locale},
           {"MinimumCapacity", t.MinimumCapacity},
           {"Nested", t.Nested},
           {"Round2Scale", t.Round2Scale},
           {"CheckPrecision", t.CheckPrecision},
           {"StrsTrim2Len", t.StrsTrim2Len},
           {"CheckNotNull", t.CheckNotNull},
           {"CheckReadOnly", t.CheckReadOnly},
           {"InlineDataSize", t.Columns().InlineDataSize}}},
         {"columns", columns},
         {"constraints", constraints},
         {"views", views},
         {"rows", rows}};
  if (t.UpdatesRegistry() && t.Journal().WasLoaded()) j["journal"] = Journal(t.Journal(), false);
  return j;
}

std::vector<uint8_t> ReadAll(std::istream& in) {
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

bool LooksCompressed(common::ByteSpan b) {
  if (b.size() < 2) return false;
  const unsigned cmf = b[0];
  const unsigned flg = b[1];
  return (cmf & 0x0F) == 8 && (cmf >> 4) <= 7 && ((cmf << 8) | flg) % 31 == 0;
}

common::Bytes Inflate(common::ByteSpan bytes, size_t limit) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) throw std::runtime_error("cannot start decompression");
  struct End {
    z_stream& z;
    ~End() { inflateEnd(&z); }
  } end{z};
  common::Bytes out;
  z.next_in = const_cast<Bytef*>(bytes.data());
  z.avail_in = static_cast<uInt>(bytes.size());
  uint8_t chunk[65536];
  for (;;) {
    z.next_out = chunk;
    z.avail_out = sizeof chunk;
    const int rc = inflate(&z, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END) {
      throw std::runtime_error("invalid compressed data");
    }
    const size_t produced = sizeof chunk - z.avail_out;
    if (out.size() + produced > limit) {
      throw std::runtime_error("decompressed stream larger than " + std::to_string(limit) +
                               " bytes");
    }
    out.insert(out.end(), chunk, chunk + produced);
    if (rc == Z_STREAM_END) return out;
    if (z.avail_in == 0 && produced == 0) throw std::runtime_error("truncated compressed data");
  }
}

json DumpStream(common::ByteSpan stream) {
  storage::TDAMemManager m;
  storage::LoadFromStream(m, stream);
  const auto reader = storage::TDABinStorage::OpenRead(stream);

  json tables = json::array();
  for (size_t i = 0; i < m.Tables().size(); ++i) tables.push_back(Table(m.Tables()[i]));
  json relations = json::array();
  for (size_t i = 0; i < m.Relations().size(); ++i) {
    const auto& r = m.Relations()[i];
    relations.push_back({{"Name", r.Name()},
                         {"ChildTable", r.ChildTable},
                         {"ChildKeyConstraint", r.ChildKeyConstraint},
                         {"ChildColumnNames", r.ChildColumnNames},
                         {"Nested", r.Nested},
                         {"ParentTable", r.ParentTable},
                         {"ParentKeyConstraint", r.ParentKeyConstraint},
                         {"ParentColumnNames", r.ParentColumnNames}});
  }
  json manager{{"properties",
                {{"Name", m.Name()},
                 {"CaseSensitive", m.CaseSensitive},
                 {"EnforceConstraints", m.EnforceConstraints},
                 {"Locale", m.Locale},
                 {"UpdatesRegistry", m.UpdatesRegistry},
                 {"Round2Scale", m.Round2Scale},
                 {"CheckPrecision", m.CheckPrecision},
                 {"StrsTrim2Len", m.StrsTrim2Len},
                 {"CheckNotNull", m.CheckNotNull},
                 {"CheckReadOnly", m.CheckReadOnly}}},
               {"tables", tables},
               {"relations", relations}};
  if (m.UpdatesRegistry && m.Journal().WasLoaded()) manager["journal"] = Journal(m.Journal(), true);

  return json{{"header",
               {{"magic", "ADBS"},
                {"version", reader->StreamVersion()},
                {"dictionaryOffset", reader->DictionaryOffset()},
                {"size", stream.size()}}},
              {"dictionary", reader->DictionaryNames()},
              {"manager", manager}};
}

int RunDump(const std::vector<std::string>& args, CommandIo& io) {
  bool compact = false;
  std::string path;
  for (const std::string& a : args) {
    if (a == "--compact") {
      compact = true;
    } else if (path.empty() && (a == "-" || a.empty() || a[0] != '-')) {
      path = a;
    } else {
      io.err << "usage: dataclient " << kDumpCommand.usage << "\n";
      return 2;
    }
  }
  if (path.empty()) {
    io.err << "usage: dataclient " << kDumpCommand.usage << "\n";
    return 2;
  }
  common::Bytes bytes;
  if (path == "-") {
    bytes = ReadAll(io.in);
  } else {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
      io.err << "dataclient dump: cannot open " << path << "\n";
      return 1;
    }
    bytes = ReadAll(file);
  }
  try {
    const bool compressed = LooksCompressed(bytes);
    if (compressed) bytes = Inflate(bytes);
    json j = DumpStream(bytes);
    j["header"]["compressed"] = compressed;
    io.out << j.dump(compact ? -1 : 2, ' ', false, json::error_handler_t::replace) << "\n";
    return 0;
  } catch (const storage::EDAException& e) {
    io.err << e.what() << "\n";
  } catch (const std::exception& e) {
    io.err << "dataclient dump: " << e.what() << "\n";
  }
  return 1;
}

}  // namespace dataclient
