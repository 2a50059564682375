#include "host/server_container.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "client/connection.h"
#include "client/server_module1.h"
#include "host/process_singletons.h"
#include "host/service_console.h"
#include "host/ui_queue.h"
#include "protocol/socket.h"

namespace host {
namespace {

namespace fs = std::filesystem;

struct Message {
  std::string text;
  std::string title;
  MessageIcon icon;
};

class RecordingView : public ConsoleView {
 public:
  void ShowMessage(const std::string& text, const std::string& title, MessageIcon icon) override {
    messages.push_back({text, title, icon});
  }
  void ShowError(const std::string& text) override { errors.push_back(text); }
  std::vector<Message> messages;
  std::vector<std::string> errors;
};

// The service as the process builds it, with this test's thread as the user-interface thread.
// Clients run on other threads while the test thread serves the hand-overs.
class ServerContainerTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/container-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    folder_ = std::string(tmpl) + "/";
    singletons_ = std::make_unique<ProcessSingletons>(folder_);
    settings_.port = "0";  // a free port
    // Loopback only: the clients are local, and no start warns of the default credentials.
    settings_.network.listen_addresses = {"127.0.0.1"};
  }
  void TearDown() override {
    container_.reset();
    form_.reset();
    singletons_.reset();
    fs::remove_all(folder_);
  }

  void Create() {
    form_ = std::make_unique<ServiceConsole>(ui_, view_, settings_);
    container_ = std::make_unique<TServerContainer1>(*form_, singletons_->instance_pool,
                                                     singletons_->context);
  }
  uint16_t port() const { return container_->RSTCPServerTransport1.BoundPort(); }

  // Serves hand-overs until `done` holds (at most 20 s).
  template <typename Predicate>
  bool PumpUntil(Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      ui_.WaitAndDrain(std::chrono::milliseconds(2));
    }
    return true;
  }
  // Runs `f` on a client thread while this thread serves the hand-overs.
  template <typename F>
  auto OnClientThread(F f) {
    auto result = std::async(std::launch::async, f);
    PumpUntil(
        [&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    return result.get();
  }
  std::unique_ptr<client::Connection> Open(const std::string& password = "tulip") {
    auto c = std::make_unique<client::Connection>(
        client::LoginOptions("127.0.0.1", port(), "admin", password));
    OnClientThread([&] { c->OpenSocket(); });
    return c;
  }
  // Connects and sends the "connect" request; the refusal, if any.
  std::string Connect(client::Connection& c) {
    return OnClientThread([&]() -> std::string {
      try {
        c.Connect();
        return "";
      } catch (const client::RemoteError& e) {
        return e.what();
      }
    });
  }
  std::unique_ptr<client::Connection> OpenAndConnect() {
    auto c = Open();
    EXPECT_EQ(Connect(*c), "");
    return c;
  }
  // Serves hand-overs for `ms` milliseconds.
  void PumpFor(int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
      ui_.WaitAndDrain(std::chrono::milliseconds(2));
    }
  }
  std::vector<std::string> Keys() const {
    std::vector<std::string> keys;
    for (const ClientLine& line : form_->lbTcpMonitorInfo()) keys.push_back(line.key);
    return keys;
  }
  size_t LogLinesMatching(const std::string& pattern) const {
    const std::regex re(pattern);
    size_t n = 0;
    for (const std::string& line : form_->Memo1()) n += std::regex_match(line, re) ? 1 : 0;
    return n;
  }

  std::string folder_;
  std::unique_ptr<ProcessSingletons> singletons_;
  ServerSettings settings_;
  UiQueue ui_;
  RecordingView view_;
  std::unique_ptr<ServiceConsole> form_;
  std::unique_ptr<TServerContainer1> container_;
};

constexpr char kArrival[] = "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]->127\\.0\\.0\\.1:[0-9]+ 连接成功!";
constexpr char kDeparture[] = "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]->127\\.0\\.0\\.1:[0-9]+ 主动断开!";
constexpr char kKicked[] = "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]->127\\.0\\.0\\.1:[0-9]+ 被动断开!";

TEST_F(ServerContainerTest, CreationStartsTheServiceWithItsCaptionsAndFields) {
  form_ = std::make_unique<ServiceConsole>(ui_, view_, settings_);
  EXPECT_EQ(form_->btn_Start(), "开启服务");
  EXPECT_EQ(form_->N4(), "启动服务");
  EXPECT_FALSE(form_->fields_enabled());
  container_ =
      std::make_unique<TServerContainer1>(*form_, singletons_->instance_pool, singletons_->context);
  EXPECT_TRUE(container_->Started());
  EXPECT_NE(port(), 0);
  EXPECT_EQ(form_->btn_Start(), "断开服务");
  EXPECT_EQ(form_->N4(), "断开服务");
  EXPECT_FALSE(form_->fields_enabled());
  EXPECT_EQ(container_->RSTCPServerTransport1.MaxThreads, 1005);
  EXPECT_EQ(container_->RSTCPServerTransport1.PoolSize, 10);
  EXPECT_EQ(container_->options.user_name, "admin");
  EXPECT_EQ(container_->options.password, "tulip");
  EXPECT_TRUE(view_.errors.empty());
}

TEST_F(ServerContainerTest, ArrivalsAndDeparturesAreListedLoggedAndCounted) {
  Create();
  std::vector<std::unique_ptr<client::Connection>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(OpenAndConnect());
    ASSERT_TRUE(PumpUntil([&] { return form_->lbTcpMonitorInfo().size() == size_t(i + 1); }));
  }
  const std::vector<std::string> keys = Keys();
  ASSERT_EQ(keys.size(), 3u);
  for (const std::string& k : keys)
    EXPECT_TRUE(std::regex_match(k, std::regex("127\\.0\\.0\\.1:[0-9]+")));
  EXPECT_NE(keys[0], keys[1]);  // same address, different ports
  EXPECT_EQ(LogLinesMatching(kArrival), 3u);
  EXPECT_EQ(form_->edtSessionCount(), "3");
  EXPECT_EQ(form_->Memo1()[1].substr(8), "->" + keys[1] + " 连接成功!");

  clients[1].reset();
  ASSERT_TRUE(PumpUntil([&] { return form_->edtSessionCount() == "2"; }));
  EXPECT_EQ(Keys(), (std::vector<std::string>{keys[0], keys[2]}));
  EXPECT_EQ(form_->Memo1().back().substr(8), "->" + keys[1] + " 主动断开!");
  EXPECT_EQ(container_->FConnections().Count(), 2);
}

TEST_F(ServerContainerTest, OperatorDisconnectsTheSelectedClient) {
  Create();
  auto a = OpenAndConnect();
  auto b = OpenAndConnect();
  ASSERT_TRUE(PumpUntil([&] { return form_->edtSessionCount() == "2"; }));
  const std::vector<std::string> keys = Keys();
  const std::string key = keys[1];

  form_->KickSelectedClient();  // nothing selected
  ASSERT_EQ(view_.messages.size(), 1u);
  EXPECT_EQ(view_.messages[0].text, "没有选择要踢出的客户端");
  EXPECT_EQ(view_.messages[0].title, "提示");
  EXPECT_EQ(view_.messages[0].icon, MessageIcon::kError);
  EXPECT_EQ(Keys().size(), 2u);

  form_->Select(1);
  form_->KickSelectedClient();
  // At once: the line goes, "被动断开!" is logged with the count still including the client.
  EXPECT_EQ(Keys(), std::vector<std::string>{keys[0]});
  EXPECT_EQ(form_->Memo1().back().substr(8), "->" + key + " 被动断开!");
  EXPECT_EQ(form_->edtSessionCount(), "2");
  ASSERT_EQ(view_.messages.size(), 2u);
  EXPECT_EQ(view_.messages[1].text, "已踢出" + key);  // the client's own address and port
  EXPECT_EQ(view_.messages[1].title, "提示");
  EXPECT_EQ(view_.messages[1].icon, MessageIcon::kInformation);
  EXPECT_EQ(form_->selected(), -1);

  // Then the connection ends: the count drops, and no "主动断开!" follows.
  ASSERT_TRUE(PumpUntil([&] { return form_->edtSessionCount() == "1"; }));
  EXPECT_EQ(LogLinesMatching(kDeparture), 0u);
  EXPECT_EQ(LogLinesMatching(kKicked), 1u);
  EXPECT_THROW(OnClientThread([&] { b->PrepareMethod("TServerModule1.ExecSQL"); }), std::exception);
}

TEST_F(ServerContainerTest, StopClosesEveryClientSilentlyAndAStartBeginsEmpty) {
  Create();
  std::vector<std::unique_ptr<client::Connection>> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(OpenAndConnect());
  // One of them holds a TServerModule1 instance.
  OnClientThread([&] { client::ServerModule1(*clients[0]).GetServerDateTime(); });
  ASSERT_TRUE(PumpUntil([&] { return form_->edtSessionCount() == "3"; }));
  const size_t log_lines = form_->Memo1().size();

  form_->StopServer();
  EXPECT_FALSE(container_->Started());
  EXPECT_TRUE(form_->lbTcpMonitorInfo().empty());
  EXPECT_EQ(form_->edtSessionCount(), "0");
  EXPECT_EQ(form_->Memo1().size(), log_lines);  // no departure lines
  EXPECT_EQ(form_->btn_Start(), "启动服务");
  EXPECT_EQ(form_->N4(), "启动服务");
  EXPECT_TRUE(form_->fields_enabled());
  EXPECT_EQ(singletons_->instance_pool.InUseCount(), 0u);
  for (auto& c : clients) {
    EXPECT_THROW(OnClientThread([&] { c->PrepareMethod("TServerModule1.ExecSQL"); }),
                 std::exception);
  }

  // The toggle decides by the server's state; the new run starts with an empty registry.
  form_->ToggleService();
  EXPECT_TRUE(container_->Started());
  EXPECT_EQ(form_->btn_Start(), "断开服务");
  EXPECT_FALSE(form_->fields_enabled());
  auto again = OpenAndConnect();
  ASSERT_TRUE(PumpUntil([&] { return form_->edtSessionCount() == "1"; }));
  EXPECT_EQ(container_->FConnections().Count(), 1);
  form_->ToggleService();
  EXPECT_FALSE(container_->Started());
}

TEST_F(ServerContainerTest, FieldsApplyAtTheNextStartAndAdmissionUsesThem) {
  Create();
  form_->StopServer();
  form_->edt_MaxCount = "1";
  form_->edt_UserName = "op";
  form_->edt_UserPwd = "secret";
  ASSERT_TRUE(form_->StartServer());
  EXPECT_EQ(container_->RSTCPServerTransport1.MaxThreads, 6);

  auto first = Open();
  EXPECT_EQ(Connect(*first), "Remote error: 认证失败！非法的接入用户，连接被拒绝！");
  EXPECT_EQ(OnClientThread([&] {
              return first->Connect({{"User_Name", "op"}, {"Password", "secret"}}).product_name;
            }),
            u"RemoteDB");
  // GetServerDateTime reports the limit in Reg.
  EXPECT_EQ(OnClientThread([&] { return client::ServerModule1(*first).GetServerDateTime().reg; }),
            1);
  // A second client makes N = 2 > 1: refused for the limit, unless it presents the second pair.
  auto second = Open();
  EXPECT_EQ(OnClientThread([&]() -> std::string {
              try {
                second->Connect({{"User_Name", "op"}, {"Password", "secret"}});
                return "";
              } catch (const client::RemoteError& e) {
                return e.what();
              }
            }),
            "Remote error: 客户端超过服务器的最大连接数了！");
  // The refused client stays listed and counted.
  ASSERT_TRUE(PumpUntil([&] { return form_->edtSessionCount() == "2"; }));
  EXPECT_EQ(Keys().size(), 2u);
  EXPECT_EQ(
      OnClientThread([&] {
        return second
            ->Connect({{"RSAuthenticationUser", "op"}, {"RSAuthenticationPassword", "secret"}})
            .protocol_version;
      }),
      2);
}

constexpr char kLoginFailed[] =
    "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]Login failed from 127\\.0\\.0\\.1:[0-9]+: ";

TEST_F(ServerContainerTest, FailedLoginsAreLoggedInOneFixedForm) {
  settings_.network.login_timeout = 1;
  Create();
  form_->StopServer();
  form_->edt_MaxCount = "1";
  ASSERT_TRUE(form_->StartServer());
  auto wrong = Open("wrong");
  EXPECT_NE(Connect(*wrong), "");
  auto over_limit = Open();
  EXPECT_NE(Connect(*over_limit), "");
  protocol::Socket silent = protocol::Socket::ConnectTcp("127.0.0.1", port());
  const std::string prefix = kLoginFailed;
  EXPECT_TRUE(PumpUntil([&] {
    return LogLinesMatching(prefix + "handshake deadline passed") == 3;
  })) << "the two refused clients and the silent one all outlast the deadline";
  EXPECT_EQ(LogLinesMatching(prefix + "wrong credentials"), 1u);
  EXPECT_EQ(LogLinesMatching(prefix + "connection limit reached"), 1u);
}

TEST_F(ServerContainerTest, DefaultCredentialsOnANetworkAddressAreWarnedOf) {
  struct Case {
    std::vector<std::string> addresses;
    std::string password;
    bool warned;
  } cases[] = {{{}, "tulip", true},
               {{"127.0.0.1"}, "tulip", false},
               {{"127.0.0.1"}, "secret", false},
               {{}, "secret", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.addresses.empty() ? "every address" : c.addresses[0]);
    SCOPED_TRACE(c.password);
    settings_.network.listen_addresses = c.addresses;
    settings_.password = c.password;
    container_.reset();
    Create();
    ASSERT_TRUE(container_->Started());
    size_t warnings = 0;
    for (const std::string& line : form_->Memo1()) {
      warnings += line.find(kDefaultCredentialsWarning) != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(warnings, c.warned ? 1u : 0u);
  }
}

TEST_F(ServerContainerTest, AStartThatFailsIsReportedAndChangesNothing) {
  settings_.port = "twelve";
  Create();
  EXPECT_FALSE(container_->Started());
  ASSERT_EQ(view_.errors.size(), 1u);
  EXPECT_EQ(view_.errors[0], "'twelve' is not a valid integer value");
  EXPECT_EQ(form_->btn_Start(), "开启服务");

  // A port that is in use: the socket error, the fields stay enabled under StartServer.
  protocol::Listener taken(0);
  form_->edt_Port = std::to_string(taken.port());
  form_->StopServer();
  EXPECT_FALSE(form_->StartServer());
  ASSERT_EQ(view_.errors.size(), 2u);
  EXPECT_NE(view_.errors[1].find("Address already in use"), std::string::npos) << view_.errors[1];
  EXPECT_TRUE(form_->fields_enabled());
  EXPECT_EQ(form_->btn_Start(), "启动服务");
  EXPECT_FALSE(container_->Started());
}

TEST_F(ServerContainerTest, ArrivalsWaitingForTheUiThreadDoNotBlockAStop) {
  Create();
  // Three clients connect while this thread serves nothing: their arrivals wait for it.
  std::vector<protocol::Socket> sockets;
  for (int i = 0; i < 3; ++i) sockets.push_back(protocol::Socket::ConnectTcp("127.0.0.1", port()));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ui_.pending() < 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_EQ(ui_.pending(), 3u);
  form_->StopServer();  // serves the waiting arrivals while it waits for their threads
  EXPECT_FALSE(container_->Started());
  EXPECT_TRUE(form_->lbTcpMonitorInfo().empty());
  EXPECT_EQ(form_->edtSessionCount(), "0");
  EXPECT_EQ(LogLinesMatching(kArrival), 3u);
  EXPECT_EQ(LogLinesMatching(kDeparture), 0u);
}

TEST_F(ServerContainerTest, AtTheThreadLimitAFurtherClientWaitsThenIsServed) {
  Create();
  form_->StopServer();
  form_->edt_MaxCount = "0";  // MaxThreads 5
  ASSERT_TRUE(form_->StartServer());
  std::vector<protocol::Socket> sockets;
  for (int i = 0; i < 5; ++i) sockets.push_back(protocol::Socket::ConnectTcp("127.0.0.1", port()));
  ASSERT_TRUE(PumpUntil([&] { return form_->lbTcpMonitorInfo().size() == 5; }));
  // The sixth completes its TCP connect, but no thread takes it: it is not even listed.
  protocol::Socket waiting = protocol::Socket::ConnectTcp("127.0.0.1", port());
  PumpFor(300);
  EXPECT_EQ(form_->lbTcpMonitorInfo().size(), 5u);
  EXPECT_EQ(LogLinesMatching(kArrival), 5u);
  // One leaves; the waiting client is taken.
  sockets.front().Shutdown();
  ASSERT_TRUE(PumpUntil([&] { return LogLinesMatching(kArrival) == 6; }));
  EXPECT_EQ(LogLinesMatching(kDeparture), 1u);
  EXPECT_EQ(form_->lbTcpMonitorInfo().size(), 5u);
  EXPECT_EQ(form_->lbTcpMonitorInfo().back().peer_key,
            "127.0.0.1:" + std::to_string(waiting.LocalPort()));
}

TEST_F(ServerContainerTest, TwoHundredClientsConnectCallAndLeaveAtOnce) {
  // All from one address at the same moment: no cap on connections logging in at once.
  settings_.network.max_pending_per_address = 0;
  Create();
  constexpr int kClients = 200;
  std::atomic<int> ok{0};
  std::atomic<int> go{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&] {
      while (go == 0) std::this_thread::yield();
      try {
        client::Connection c(client::LoginOptions("127.0.0.1", port(), "admin", "tulip"));
        c.Open();
        client::ServerModule1 server(c);
        if (server.GetServerDateTime().reg == 1000) ++ok;
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
      }
    });
  }
  go = 1;
  ASSERT_TRUE(PumpUntil([&] { return LogLinesMatching(kDeparture) == kClients; }));
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok, kClients);
  EXPECT_EQ(LogLinesMatching(kArrival), static_cast<size_t>(kClients));
  EXPECT_EQ(container_->FConnections().Count(), 0);
  EXPECT_EQ(form_->edtSessionCount(), "0");
  EXPECT_TRUE(form_->lbTcpMonitorInfo().empty());
  ASSERT_TRUE(PumpUntil([&] { return singletons_->instance_pool.InUseCount() == 0; }));
  EXPECT_GE(singletons_->instance_pool.Count(), 1u);
  EXPECT_LE(singletons_->instance_pool.Count(), static_cast<size_t>(kClients));
}

// The console's stop button while clients wait on a SQLite file that another program holds
// locked (a lock wait of ten minutes): the stop cuts their waits short and ends, the waiting
// clients get their answer or lose their connection, and the service started again serves the
// database as before, with what was committed still there.
TEST_F(ServerContainerTest, StopCutsShortCallersWaitingOnTheDatabaseAndARestartServes) {
  std::ofstream(folder_ + "DataBase.CFG")
      << "DriverID=SQLite\r\nDatabase=shop.db\r\nBusyTimeout=600000\r\n";
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open((folder_ + "shop.db").c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "CREATE TABLE t (v TEXT); INSERT INTO t VALUES ('kept')", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  Create();

  constexpr int kCallers = 3;
  std::vector<std::unique_ptr<client::Connection>> clients;
  for (int i = 0; i < kCallers; ++i) clients.push_back(OpenAndConnect());
  std::atomic<int> answered{0};
  std::vector<std::thread> callers;
  for (auto& c : clients) {
    callers.emplace_back([&answered, conn = c.get()] {
      try {
        client::ServerModule1(*conn).ExecSQL("INSERT INTO t VALUES ('lost')");
      } catch (const std::exception&) {
        // A lost connection is as good an end as an error reply.
      }
      ++answered;
    });
  }
  PumpFor(500);  // the callers are in their lock wait
  ASSERT_EQ(answered.load(), 0);

  const auto start = std::chrono::steady_clock::now();
  form_->StopServer();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  for (std::thread& t : callers) t.join();
  EXPECT_EQ(answered.load(), kCallers);
  EXPECT_EQ(LogLinesMatching("[0-2][0-9]:[0-5][0-9]:[0-5][0-9]Stopping the service interrupted 3 "
                             "database call\\(s\\) in progress"),
            1u);
  EXPECT_TRUE(singletons_->connection_pool.ShuttingDown());
  clients.clear();

  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close_v2(other);
  ASSERT_TRUE(form_->StartServer());
  EXPECT_FALSE(singletons_->connection_pool.ShuttingDown());
  auto again = OpenAndConnect();
  EXPECT_EQ(OnClientThread([&] {
              return client::ServerModule1(*again).ExecSQL("INSERT INTO t VALUES ('after')");
            }),
            "");
  ASSERT_EQ(sqlite3_open((folder_ + "shop.db").c_str(), &other), SQLITE_OK);
  sqlite3_stmt* rows = nullptr;
  ASSERT_EQ(
      sqlite3_prepare_v2(other, "SELECT group_concat(v, ',') FROM (SELECT v FROM t ORDER BY v)", -1,
                         &rows, nullptr),
      SQLITE_OK);
  ASSERT_EQ(sqlite3_step(rows), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(rows, 0)), "after,kept");
  sqlite3_finalize(rows);
  sqlite3_close_v2(other);
}

}  // namespace
}  // namespace host
