#include "protocol/session.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

namespace protocol {
namespace {

TEST(Properties, NamesIgnoreCaseAndEmptyValuesRemove) {
  TRDBProperties p;
  p.Set("User_Name", "admin");
  p.Set("Password", "tulip");
  p.Set("user_name", "root");  // replaces in place
  EXPECT_EQ(p.Get("USER_NAME"), "root");
  EXPECT_EQ(p.Get("Missing"), "");
  EXPECT_EQ(p.Texts(), (std::vector<std::string>{"User_Name=root", "Password=tulip"}));
  p.Set("PASSWORD", "");
  EXPECT_FALSE(p.Has("Password"));
  EXPECT_EQ(p.Texts(), (std::vector<std::string>{"User_Name=root"}));
}

TEST(Session, AuthenticationTakesTheUserNameOnce) {
  TRSTCPSession session("1.2.3");
  TRDBProperties p;
  p.Set("User_Name", "admin");
  EXPECT_TRUE(session.Authenticate(p));
  EXPECT_EQ(session.user_name(), "");  // only RSAuthenticationUser names the session's user
  p.Set("rsauthenticationuser", "alice");
  EXPECT_TRUE(session.Authenticate(p));
  EXPECT_EQ(session.user_name(), "alice");
  p.Set("RSAuthenticationUser", "bob");
  session.Authenticate(p);
  EXPECT_EQ(session.user_name(), "alice");
  EXPECT_EQ(session.GetData("absent"), "");
}

class RecordingListener : public TRSSessionListener {
 public:
  void SessionCreated(const std::string& name) override { events.push_back("+" + name); }
  void SessionClosed(const std::string& name) override {
    events.push_back("-" + name);
    if (throws) throw std::runtime_error("swallowed");
  }
  std::vector<std::string> events;
  bool throws = false;
};

TEST(SessionManager, NamesAreUniqueTriplesAndListenersHearCreationAndClosing) {
  TRSSessionManager& manager = TRSSessionManager::Instance();
  auto first = std::make_shared<RecordingListener>();
  auto second = std::make_shared<RecordingListener>();
  second->throws = true;
  manager.AddListener(first);
  manager.AddListener(second);
  std::set<std::string> names;
  std::vector<std::shared_ptr<TRSTCPSession>> sessions;
  for (int i = 0; i < 200; ++i) {
    sessions.push_back(manager.CreateSession());
    EXPECT_EQ(sessions.back()->status(), TRSSessionStatus::Idle);
    EXPECT_TRUE(std::regex_match(sessions.back()->name(),
                                 std::regex("[0-9]{1,6}\\.[0-9]{1,6}\\.[0-9]{1,6}")));
    names.insert(sessions.back()->name());
  }
  EXPECT_EQ(names.size(), 200u);
  const std::string name = sessions.front()->name();
  EXPECT_EQ(manager.Find(name), sessions.front());
  EXPECT_TRUE(manager.CloseSession(name));
  EXPECT_FALSE(manager.CloseSession(name));
  EXPECT_EQ(sessions.front()->status(), TRSSessionStatus::Closed);
  EXPECT_EQ(manager.Find(name), nullptr);
  EXPECT_EQ(first->events.back(), "-" + name);
  EXPECT_EQ(second->events.back(), "-" + name);  // its exception did not stop the others

  // A listener that is gone is skipped; one that was removed hears nothing more.
  second.reset();
  manager.RemoveListener(first.get());
  const size_t heard = first->events.size();
  for (auto& s : sessions) manager.CloseSession(s->name());
  EXPECT_EQ(first->events.size(), heard);
}

TEST(SessionManager, BindingIsPerThread) {
  TRSTCPSession session("9.9.9");
  TRSSessionManager::BindSession(&session);
  TRSTCPSession* seen = &session;
  std::thread([&] { seen = TRSSessionManager::CurrentSession(); }).join();
  EXPECT_EQ(seen, nullptr);
  EXPECT_EQ(TRSSessionManager::CurrentSession(), &session);
  TRSSessionManager::ClearBinding();
  EXPECT_EQ(TRSSessionManager::CurrentSession(), nullptr);
}

}  // namespace
}  // namespace protocol
