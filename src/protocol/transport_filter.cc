#include "protocol/transport_filter.h"

#include <map>
#include <mutex>

#include "protocol/compression_filter.h"
#include "protocol/rdb_error.h"

namespace protocol {
namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, TTransportFilterFactory::Creator, std::less<>>
      creators;  // GUARDED_BY(mutex)
};

Registry& TheRegistry() {
  static Registry* registry = [] {
    auto* r = new Registry;
    r->creators.emplace(kCompressionFilterId,
                        [] { return std::make_unique<TTransportCompressionFilter>(); });
    return r;
  }();
  return *registry;
}

}  // namespace

void TTransportFilterFactory::Register(const std::string& id, Creator creator) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  r.creators[id] = std::move(creator);
}

bool TTransportFilterFactory::IsRegistered(std::string_view id) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  return r.creators.find(id) != r.creators.end();
}

std::unique_ptr<TTransportFilter> TTransportFilterFactory::Create(std::string_view id) {
  Creator creator;
  {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    auto it = r.creators.find(id);
    if (it == r.creators.end()) {
      throw TRDBError(std::string(id) + " Filter not found", kFilterNotFoundErrorCode);
    }
    creator = it->second;
  }
  std::unique_ptr<TTransportFilter> filter = creator ? creator() : nullptr;
  if (!filter) {
    throw TRDBError("Communication filter " + std::string(id) +
                    " is not registered. Filter class needs to be registered in order to "
                    "communicate with the server.");
  }
  return filter;
}

FilterList MakeConnectionFilters(const FilterList& configured) {
  FilterList filters;
  filters.reserve(configured.size());
  for (const auto& source : configured) {
    auto filter = TTransportFilterFactory::Create(source->Id());
    for (const std::string& name : source->GetUserParameters()) {
      filter->SetParameterValue(name, source->GetParameterValue(name));
    }
    filters.push_back(std::move(filter));
  }
  return filters;
}

}  // namespace protocol
