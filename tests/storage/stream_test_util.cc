#include "storage/stream_test_util.h"

#include <cstdio>
#include <stdexcept>

namespace storage::testing {

common::Bytes Hex(std::string_view hex) {
  common::Bytes out;
  int nibble = -1;
  for (char c : hex) {
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'A' && c <= 'F') {
      v = c - 'A' + 10;
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else {
      continue;
    }
    if (nibble < 0) {
      nibble = v;
    } else {
      out.push_back(static_cast<uint8_t>(nibble * 16 + v));
      nibble = -1;
    }
  }
  if (nibble >= 0) throw std::invalid_argument("odd number of hex digits");
  return out;
}

std::string ToHex(common::ByteSpan bytes) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
    if (i != 0) s += ' ';
    s += buf;
  }
  return s;
}

common::Bytes Utf16(std::u16string_view text) {
  common::Bytes b;
  for (char16_t c : text) {
    b.push_back(static_cast<uint8_t>(c));
    b.push_back(static_cast<uint8_t>(c >> 8));
  }
  return b;
}

common::Bytes DictionaryBytes(const std::vector<std::string>& names) {
  common::Bytes out;
  for (const std::string& n : names) {
    common::AppendLE(out, static_cast<uint16_t>(2 * n.size()));
    for (char c : n) {
      out.push_back(static_cast<uint8_t>(c));
      out.push_back(0);
    }
  }
  return out;
}

common::Bytes Container(uint16_t version, const common::Bytes& body,
                        const std::vector<std::string>& names) {
  common::Bytes out = {'A', 'D', 'B', 'S'};
  common::AppendLE(out, version);
  common::AppendLE(out, uint16_t{0});
  common::AppendLE(out, static_cast<uint32_t>(12 + body.size()));
  out.insert(out.end(), body.begin(), body.end());
  const common::Bytes dict = DictionaryBytes(names);
  out.insert(out.end(), dict.begin(), dict.end());
  return out;
}

void BuildResultExample(TDAMemManager& manager) {
  manager.UpdatesRegistry = true;
  TDAMemTable& t = manager.AddTable("T");
  t.Columns().Add("ID", common::DataType::dtInt32);
  TDAMemRow* row = t.NewRow(false);
  row->SetData(0, StoredValue::Of(LE<int32_t>(1)));
  t.AppendFetchedRow(row);
}

common::Bytes ResultExampleBytes() {
  return Container(15, Hex(R"(
      FF 00  01 00 01  FF 02  FF 03  04 00 02 00 00 00 54 00  05 00 00 00 00 00
      FF 06  FF 07  04 00 04 00 00 00 49 00 44 00  09 00 08 00
      0A 00 01 0B 00 01 0C 00 01 0D 00 01  FE FE
      FF 0E FE  FF 0F FE
      FF 10  FF 11  12 00 00 00 00 00  FF 13  00 00 01 00 00 00  FE FE FE
      FE FE  FF 14 FE  FF 15 FF 16 FE FE  FE)"),
                   {"Manager",      "UpdatesRegistry", "TableList", "Table",    "Name",
                    "TabID",        "ColumnList",      "Column",    "dtInt32",  "DataType",
                    "AllowNull",    "OAllowNull",      "OInUpdate", "OInWhere", "ConstraintList",
                    "ViewList",     "RowList",         "Row",       "RowID",    "Original",
                    "RelationList", "UpdatesJournal",  "Changes"});
}

namespace {

TDAMemRow* Fetch(TDAMemTable& t, int32_t id, std::u16string_view name) {
  TDAMemRow* row = t.NewRow(false);
  row->SetData(0, StoredValue::Of(LE(id)));
  row->SetData(1, StoredValue::Of(Utf16(name)));
  t.AppendFetchedRow(row);
  return row;
}

}  // namespace

void BuildChangeSetExample(TDAMemManager& manager) {
  manager.UpdatesRegistry = true;
  TDAMemTable& t = manager.AddTable("T");
  t.Columns().Add("ID", common::DataType::dtInt32);
  t.Columns().Add("NAME", common::DataType::dtWideString).Size = 10;
  Fetch(t, 1, u"A");
  TDAMemRow* modified = Fetch(t, 2, u"B");
  modified->BeginEdit();
  modified->SetData(1, StoredValue::Of(Utf16(u"C")));
  modified->EndEdit();
  TDAMemRow* inserted = t.NewRow(false);
  inserted->SetData(0, StoredValue::Of(LE<int32_t>(3)));
  inserted->SetData(1, StoredValue::Of(Utf16(u"D")));
  t.AppendRow(inserted);
  // Fetched on demand after the first changes.
  Fetch(t, 4, u"E")->Delete();
}

common::Bytes ChangeSetExampleBytes() {
  return Container(
      15, Hex(R"(
      FF 00  01 00 01  FF 02  FF 03  04 00 02 00 00 00 54 00  05 00 00 00 00 00
      FF 06
      FF 07  04 00 04 00 00 00 49 00 44 00  09 00 08 00
             0A 00 01 0B 00 01 0C 00 01 0D 00 01  FE
      FF 07  04 00 08 00 00 00 4E 00 41 00 4D 00 45 00  09 00 0E 00  0F 00 0A 00 00 00
             0A 00 01 0B 00 01 0C 00 01 0D 00 01  FE
      FE
      FF 10 FE  FF 11 FE
      FF 12
      FF 13 14 00 00 00 00 00
      FF 15 00 00 01 00 00 00 01 00 02 00 00 00 41 00 FE FE
      FF 13 14 00 01 00 00 00
      17 00 16 00 19 00 18 00
      FF 15 00 00 02 00 00 00 01 00 02 00 00 00 42 00 FE
      FF 1A 00 00 02 00 00 00 01 00 02 00 00 00 43 00 FE FE
      FF 13 14 00 02 00 00 00 17 00 1B 00
      FF 1A 00 00 03 00 00 00 01 00 02 00 00 00 44 00 FE FE
      FF 13 14 00 03 00 00 00 17 00 1C 00
      FF 15 00 00 04 00 00 00 01 00 02 00 00 00 45 00 FE FE FE
      FE FE  FF 1D FE
      FF 1E 1F 00 03 00 00 00
      FF 20
      FF 21 05 00 00 00 00 00 14 00 01 00 00 00 22 00 00 00 00 00 FE
      FF 21 05 00 00 00 00 00 14 00 02 00 00 00 22 00 01 00 00 00 FE
      FF 21 05 00 00 00 00 00 14 00 03 00 00 00 22 00 02 00 00 00 FE
      FE FE
      FE)"),
      {"Manager",        "UpdatesRegistry", "TableList",  "Table",     "Name",
       "TabID",          "ColumnList",      "Column",     "dtInt32",   "DataType",
       "AllowNull",      "OAllowNull",      "OInUpdate",  "OInWhere",  "dtWideString",
       "Size",           "ConstraintList",  "ViewList",   "RowList",   "Row",
       "RowID",          "Original",        "rsModified", "RowState",  "rsUnchanged",
       "RowPriorState",  "Current",         "rsInserted", "rsDeleted", "RelationList",
       "UpdatesJournal", "SavePoint",       "Changes",    "Change",    "ChangeNumber"});
}

}  // namespace storage::testing
