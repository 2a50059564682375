// Helpers shared by the storage tests: hex byte strings, containers assembled by hand, and the
// models of the two worked examples (a query result and a change set).
#ifndef DATASERVER_TESTS_STORAGE_STREAM_TEST_UTIL_H_
#define DATASERVER_TESTS_STORAGE_STREAM_TEST_UTIL_H_

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.h"
#include "storage/mem_manager.h"

namespace storage::testing {

// "41 44 42 53" -> bytes; spaces, commas and line breaks are ignored.
common::Bytes Hex(std::string_view hex);
std::string ToHex(common::ByteSpan bytes);

// Dictionary entries of ASCII names: 16-bit byte length, UTF-16LE text.
common::Bytes DictionaryBytes(const std::vector<std::string>& names);
// A container: header (version, dictionary offset) + body + dictionary.
common::Bytes Container(uint16_t version, const common::Bytes& body,
                        const std::vector<std::string>& names);

// The result example: a manager keeping the journal, table T with column ID (dtInt32) and
// one fetched row ID = 1.
void BuildResultExample(TDAMemManager& manager);
common::Bytes ResultExampleBytes();  // the 532 bytes

// The change-set example: T(ID dtInt32, NAME dtWideString size 10) with RowID 0 unchanged,
// 1 modified, 2 inserted and 3 deleted, changed in that order.
void BuildChangeSetExample(TDAMemManager& manager);
common::Bytes ChangeSetExampleBytes();  // the 1005 bytes

// Little-endian bytes of a value.
template <typename T>
common::Bytes LE(T v) {
  common::Bytes b(sizeof(T));
  common::StoreLE(b.data(), v);
  return b;
}
common::Bytes Utf16(std::u16string_view text);

}  // namespace storage::testing

#endif  // DATASERVER_TESTS_STORAGE_STREAM_TEST_UTIL_H_
