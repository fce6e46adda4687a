#include "watch/account_state.h"

#include <gtest/gtest.h>

namespace lanfeng {
namespace {

using S = AccountState;

TEST(AccountStateTest, StoredTextsRoundTripAndStrangeValuesAreUnknown) {
  for (S state : {S::kUnseen, S::kOnlinePending, S::kOnlineNotified, S::kOfflinePending,
                  S::kOfflineNotified}) {
    EXPECT_EQ(state, ParseAccountState(AccountStateText(state)));
  }
  EXPECT_EQ("1", AccountStateText(S::kOnlinePending));
  EXPECT_EQ("4", AccountStateText(S::kOfflineNotified));
  EXPECT_EQ(S::kUnknown, ParseAccountState("5"));
  EXPECT_EQ(S::kUnknown, ParseAccountState(" 1"));
}

TEST(AccountStateTest, ReportsMoveOnlyHandledOrUnseenAccounts) {
  EXPECT_EQ(S::kOnlinePending, StateAfterReport(S::kUnseen, true));
  EXPECT_EQ(S::kOnlinePending, StateAfterReport(S::kOfflineNotified, true));
  EXPECT_EQ(S::kOfflinePending, StateAfterReport(S::kUnseen, false));
  EXPECT_EQ(S::kOfflinePending, StateAfterReport(S::kOnlineNotified, false));
  for (S state : {S::kOnlinePending, S::kOnlineNotified, S::kOfflinePending, S::kUnknown}) {
    EXPECT_EQ(std::nullopt, StateAfterReport(state, true));
  }
  for (S state : {S::kOnlinePending, S::kOfflinePending, S::kOfflineNotified, S::kUnknown}) {
    EXPECT_EQ(std::nullopt, StateAfterReport(state, false));
  }
}

TEST(AccountStateTest, PollerAndDispatcherNeverWriteOverTheSameState) {
  for (S state : {S::kUnseen, S::kOnlinePending, S::kOnlineNotified, S::kOfflinePending,
                  S::kOfflineNotified, S::kUnknown}) {
    bool poller_writes = StateAfterReport(state, true) || StateAfterReport(state, false);
    bool dispatcher_writes = StateAfterDispatch(state).has_value();
    EXPECT_FALSE(poller_writes && dispatcher_writes) << AccountStateText(state);
  }
  EXPECT_EQ(S::kOnlineNotified, StateAfterDispatch(S::kOnlinePending));
  EXPECT_EQ(S::kOfflineNotified, StateAfterDispatch(S::kOfflinePending));
  EXPECT_EQ(std::nullopt, StateAfterDispatch(S::kUnknown));
}

}  // namespace
}  // namespace lanfeng
