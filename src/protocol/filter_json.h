// The textual form of a filter list, as exchanged in the filter negotiation and as a client's
// "Filters" connection property:
//
//   {"<filter id>":{"<parameter>":"<value>",...},...}
//
// compact (no blanks), UTF-8; an empty value is written as null and a null value reads as
// empty text. Key order is significant (the negotiation applies the entries from last to
// first), so entries are kept in the order written.
//
// Thread use: pure functions.
#ifndef DATASERVER_PROTOCOL_FILTER_JSON_H_
#define DATASERVER_PROTOCOL_FILTER_JSON_H_

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/transport_filter.h"

namespace protocol {

struct FilterSetup {
  std::string id;
  std::vector<std::pair<std::string, std::string>> parameters;  // name, value (null -> "")
};

// Each filter's id with all its parameters (GetParameters), in list order.
std::string FormatFilterList(const FilterList& filters);
std::string FormatFilterList(const std::vector<FilterSetup>& setups);

// Parses a filter list. Accepts string, null, number and boolean parameter values (the latter
// two as their literal text). Returns nullopt for anything that is not an object of objects.
std::optional<std::vector<FilterSetup>> ParseFilterList(std::string_view json);

}  // namespace protocol

#endif  // DATASERVER_PROTOCOL_FILTER_JSON_H_
