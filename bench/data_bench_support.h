// Shared parts of the database benchmarks over TCP (the folder and the pools are in
// service_bench_support.h): the server's call path on a free loopback port (transport with the
// compression filter, dispatcher, TServerModule1 lent by the instance pool, the three database
// pools over the folder's DataBase.CFG), the load average printed beside every figure, and the
// PostgreSQL server named by DATASERVER_PG_CONN for the baselines.
//
// Threads: the server's connection threads run the calls; everything else is used by the
// benchmark's main thread.
#ifndef DATASERVER_BENCH_DATA_BENCH_SUPPORT_H_
#define DATASERVER_BENCH_DATA_BENCH_SUPPORT_H_

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pools/connection_params.h"
#include "pools/instance_pool.h"
#include "protocol/compression_filter.h"
#include "protocol/rs_server.h"
#include "protocol/tcp_transport.h"
#include "service/server_module.h"
#include "service_bench_support.h"

namespace bench {

// The 1-minute load average, as /proc/loadavg gives it.
inline std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one;
  in >> one;
  return one.empty() ? "?" : one;
}

// The call path of the dataserver process (without its console): TServerModule1 over the
// application folder's database, on a free port.
class BenchServer {
 public:
  // `app_folder` ends with "/" and holds DataBase.CFG.
  explicit BenchServer(const std::string& app_folder) : pools_(app_folder) {
    instances_.SetInstanceClass(service::ServerModuleInstanceClass(pools_.context()));
    transport_.Port = 0;
    transport_.Filters.push_back(std::make_unique<protocol::TTransportCompressionFilter>());
    server_.AddServerClass(class_);
    server_.SetTransport(&transport_);
    server_.Start();
  }
  ~BenchServer() { server_.Stop(); }
  BenchServer(const BenchServer&) = delete;
  BenchServer& operator=(const BenchServer&) = delete;

  uint16_t port() const { return transport_.BoundPort(); }
  service::ServiceContext& context() { return pools_.context(); }

 private:
  ServicePools pools_;
  pools::TPoolManager instances_;
  service::TServerModule1Class class_{instances_};
  protocol::TRSTCPServerTransport transport_;
  protocol::TRSServer server_;
};

// The parts of DATASERVER_PG_CONN ("Driver={...};Server=h;Port=p;Database=d;UID=u;PWD=w").
struct PgServer {
  std::string host, port, database, user, password;

  // A libpq connection string.
  std::string ConnInfo() const {
    return "host=" + host + " port=" + port + " dbname=" + database + " user=" + user +
           " password=" + password;
  }
  // DataBase.CFG lines for the server's PG driver.
  pools::ConnectionParams Params() const {
    pools::ConnectionParams params;
    params.Set("DriverID", "PG");
    params.Set("Server", host);
    params.Set("Port", port);
    params.Set("Database", database);
    params.Set("User_Name", user);
    params.Set("Password", password);
    return params;
  }
};

inline std::optional<PgServer> PgServerFromEnv() {
  const char* value = std::getenv("DATASERVER_PG_CONN");
  if (value == nullptr || *value == '\0') return std::nullopt;
  PgServer pg;
  std::string_view s(value);
  while (!s.empty()) {
    const size_t end = s.find(';');
    const std::string_view pair = s.substr(0, end);
    s.remove_prefix(end == std::string_view::npos ? s.size() : end + 1);
    const size_t eq = pair.find('=');
    if (eq == std::string_view::npos) continue;
    std::string key(pair.substr(0, eq));
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string v(pair.substr(eq + 1));
    if (key == "SERVER") pg.host = v;
    if (key == "PORT") pg.port = v;
    if (key == "DATABASE") pg.database = v;
    if (key == "UID") pg.user = v;
    if (key == "PWD") pg.password = v;
  }
  if (pg.host.empty() || pg.port.empty()) return std::nullopt;
  return pg;
}

inline constexpr char kNoPgMessage[] =
    "DATASERVER_PG_CONN is not set: start a server with eval \"$(scripts/pg-test-server.sh "
    "start)\" for the PostgreSQL baseline";

}  // namespace bench

#endif  // DATASERVER_BENCH_DATA_BENCH_SUPPORT_H_
