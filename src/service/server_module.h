// TServerModule1: the server-method class, its method catalogue and its instances.
//
// The catalogue lists the thirteen remote methods in declared order with their parameter
// names, types and passing modes; a dispatcher publishes and invokes them through
// common::RemoteClass without knowing this code. Instances hold no state of their own beyond
// the shared ServiceContext, and are lent by the instance pool (TPoolManager): the class's
// create- and destroy-instance operations are LockPoolObject and UnlockPoolObject.
//
// Threads: an instance is used by one session (one connection thread) at a time; different
// instances run concurrently. The catalogue is immutable. The context is filled during start-up
// before any connection thread exists; MaxClientConnections may be read from any thread, and
// the pools it points to guard themselves.
#ifndef DATASERVER_SERVICE_SERVER_MODULE_H_
#define DATASERVER_SERVICE_SERVER_MODULE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/remote_class.h"
#include "common/variant.h"
#include "pools/instance_pool.h"
#include "service/file_store.h"
#include "service/payload_codec.h"
#include "service/server_files.h"

namespace pools {
class TDAConnectionPool;
class TDAQueryPool;
class TDAStoredProcPool;
}  // namespace pools

namespace service {

inline constexpr char kServerModuleClassName[] = "TServerModule1";

// What every instance needs from the process. Owned by the host's process singletons and
// outlives every instance.
struct ServiceContext {
  // The application folder, with a trailing "/"; written once at start-up.
  std::string app_folder;
  // The service option "maximum client connections" (held by the host, read by
  // GetServerDateTime); written while the transport is stopped.
  std::atomic<int32_t> max_client_connections{1000};
  // The most a client's compressed payload may inflate to.
  size_t max_payload_size = kDefaultMaxPayloadSize;
  // What inflating payloads may take, shared with the transport's decoded frames (not owned;
  // null reserves nothing).
  common::MemoryBudget* decompression_budget = nullptr;
  // The file system seam of the file methods; null means the system.
  FileIo* file_io = nullptr;
  // The server's own files in the application folder (not owned; filled at start-up and
  // outliving every instance), out of the file methods' reach. Null: only the temporary files of
  // uploads are kept from clients.
  const ServerFiles* server_files = nullptr;
  // The process's database object pools (not owned; they outlive every instance). The
  // database methods borrow from them; while they are null those methods fail as calls.
  pools::TDAConnectionPool* connection_pool = nullptr;
  pools::TDAQueryPool* query_pool = nullptr;
  pools::TDAStoredProcPool* stored_proc_pool = nullptr;
};

// Indexes into TServerModule1Methods(), in declared order.
enum class ServerMethod : size_t {
  kSQL2OleVariant,
  kStoredProc,
  kUpdateOleVariant,
  kUpdateSQL,
  kExecSQL,
  kGetServerDateTime,
  kUploadFile,
  kDownLoadFile,
  kCheckUpload,
  kReadData,
  kPostData,
  kDeleteData,
  kFindFiles,
};
constexpr size_t kServerMethodCount = 13;

// The thirteen methods with their parameters, in declared order.
const std::vector<common::RemoteMethod>& TServerModule1Methods();

class TServerModule1 : public common::RemoteInstance, public pools::TPersistent {
 public:
  explicit TServerModule1(const ServiceContext& context) : context_(context) {}

  // `args` holds one value per declared parameter (in parameters as the dispatcher converted
  // them; out parameters are overwritten). Failures outside a method's ErrMsg are exceptions.
  void Invoke(size_t method_index, std::vector<common::Variant>& args,
              common::Variant& result) override;

 private:
  const ServiceContext& context_;
};

// The pool's class reference for TServerModule1: instances are built with `context`, which must
// outlive the pool.
pools::TInstanceClass ServerModuleInstanceClass(const ServiceContext& context);

// The published class: TServerModule1's catalogue, with instances lent by `pool`. The pool is
// bound to TServerModule1 by the host at start-up and must outlive this object.
class TServerModule1Class : public common::RemoteClass {
 public:
  explicit TServerModule1Class(pools::TPoolManager& pool) : pool_(pool) {}

  const std::string& Name() const override;
  const std::vector<common::RemoteMethod>& Methods() const override;
  // LockPoolObject; throws (and lends nothing) when the pool builds something else.
  common::RemoteInstance* CreateInstance() override;
  // UnlockPoolObject; the instance stays in the pool for the next session.
  void DestroyInstance(common::RemoteInstance* instance) override;

 private:
  pools::TPoolManager& pool_;
};

}  // namespace service

#endif  // DATASERVER_SERVICE_SERVER_MODULE_H_
