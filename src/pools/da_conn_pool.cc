#include "pools/da_conn_pool.h"

#include "pools/database_error.h"

namespace pools {

TDAConnectionPool::TDAConnectionPool(int ACapicity, std::filesystem::path config_file,
                                     PoolNotifyHook hook)
    : DAObjectPool(ACapicity, PoolNotifyCodes{11, 12, 13}, std::move(hook)),
      config_file_(std::move(config_file)) {}

std::unique_ptr<TDAConnection> TDAConnectionPool::CreateObject() {
  auto connection = std::make_unique<TDAConnection>();
  connection->Params() = ConnectionParams::LoadFromFile(config_file_);
  connection->SetBaseFolder(config_file_.parent_path());
  connection->LoginPrompt = false;
  connection->SetStopFlag(ShutdownFlag());
  connection->Open();
  return connection;
}

void TDAConnectionPool::GiveBack(TDAConnection* value) noexcept {
  if (value == nullptr) return;
  try {
    if (value->InTransaction()) value->Rollback();
  } catch (const std::exception&) {
    // A connection that cannot roll back has lost its link; the pool drops it.
  }
  Unlock(value);
}

}  // namespace pools
