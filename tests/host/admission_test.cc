#include "host/admission.h"

#include <gtest/gtest.h>

namespace host {
namespace {

struct AdmissionCase {
  const char* name;
  int64_t registered;  // the newcomer included
  std::vector<std::pair<std::string, std::string>> properties;
  bool has_channel_info;
  const char* refusal;  // null: admitted
};

class Admission : public testing::TestWithParam<AdmissionCase> {};

TEST_P(Admission, FollowsTheDecisionTable) {
  const AdmissionCase& c = GetParam();
  protocol::TRDBProperties p;
  for (const auto& [n, v] : c.properties) p.Set(n, v);
  ServiceOptions options;  // 1000, "admin", "tulip"
  const std::optional<std::string> refusal =
      AdmissionRefusal(p, c.has_channel_info, c.registered, options);
  if (c.refusal) {
    ASSERT_TRUE(refusal.has_value());
    EXPECT_EQ(*refusal, c.refusal);
  } else {
    EXPECT_FALSE(refusal.has_value()) << *refusal;
  }
}

const std::pair<std::string, std::string> kUser{"User_Name", "admin"};
const std::pair<std::string, std::string> kPassword{"Password", "tulip"};
const std::pair<std::string, std::string> kRsUser{"RSAuthenticationUser", "admin"};
const std::pair<std::string, std::string> kRsPassword{"RSAuthenticationPassword", "tulip"};

INSTANTIATE_TEST_SUITE_P(
    Cases, Admission,
    testing::Values(
        AdmissionCase{"AtTheLimit", 1000, {kUser, kPassword}, true, nullptr},
        AdmissionCase{"OverTheLimit", 1001, {kUser, kPassword}, true, kLimitExceededMessage},
        AdmissionCase{"NameIsCaseSensitive",
                      1,
                      {{"User_Name", "Admin"}, kPassword},
                      true,
                      kAuthenticationFailedMessage},
        AdmissionCase{
            "NoTrimming", 1, {kUser, {"Password", "tulip "}}, true, kAuthenticationFailedMessage},
        AdmissionCase{"SecondPairAlone", 1, {kRsUser, kRsPassword}, true, nullptr},
        AdmissionCase{"SecondPairIgnoresTheLimit", 5000, {kRsUser, kRsPassword}, true, nullptr},
        AdmissionCase{
            "WrongAndOverTheLimit", 1001, {{"User_Name", "x"}}, true, kLimitExceededMessage},
        AdmissionCase{"NothingSent", 1, {}, true, kAuthenticationFailedMessage},
        AdmissionCase{"PropertyNamesIgnoreCase",
                      1,
                      {{"user_name", "admin"}, {"PASSWORD", "tulip"}},
                      true,
                      nullptr},
        AdmissionCase{
            "NoChannelOverTheLimit", 1001, {kRsUser, kRsPassword}, false, kLimitExceededMessage},
        AdmissionCase{"NoChannelWrongPassword", 1, {kUser}, false, kAuthenticationFailedMessage},
        AdmissionCase{
            "NoChannelIsNeverAdmitted", 1, {kUser, kPassword}, false, kNoChannelInfoMessage}),
    [](const testing::TestParamInfo<AdmissionCase>& info) { return info.param.name; });

TEST(AdmissionWithEmptyCredentials, AdmitsAClientThatSendsNothing) {
  ServiceOptions options;
  options.user_name.clear();
  options.password.clear();
  EXPECT_FALSE(AdmissionRefusal(protocol::TRDBProperties(), true, 1, options).has_value());
}

}  // namespace
}  // namespace host
