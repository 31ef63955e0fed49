// What installation hands the service control manager, checked in-process:
// Wine's service manager accepts the failure actions without storing them,
// so no query could show them.
#include <gtest/gtest.h>

#include "service/service.h"

TEST(InstallTest, RecoveryRestartsTwiceAfterFiveSecondsThenEveryMinuteAndResetsAfterADay) {
  SC_ACTION steps[kFailureActionCount];
  SERVICE_FAILURE_ACTIONSW actions;
  BuildFailureActions(steps, actions);
  ASSERT_EQ(actions.cActions, 3u);
  ASSERT_EQ(actions.lpsaActions, steps);
  const DWORD delays[] = {5000, 5000, 60000};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(steps[i].Type, SC_ACTION_RESTART) << i;
    EXPECT_EQ(steps[i].Delay, delays[i]) << i;
  }
  EXPECT_EQ(actions.dwResetPeriod, 86400u);
  // Null leaves a reboot message or a command an administrator set alone.
  EXPECT_EQ(actions.lpRebootMsg, nullptr);
  EXPECT_EQ(actions.lpCommand, nullptr);
}

TEST(InstallTest, ProgramPathIsQuotedAndRefusedWhenItDoesNotFitWithItsQuotes) {
  wchar_t quoted[MAX_PATH];
  ASSERT_TRUE(QuoteProgramPath(L"C:\\Program Files\\ZARVO Remote\\ZARVOSRV.exe", quoted));
  EXPECT_STREQ(quoted, L"\"C:\\Program Files\\ZARVO Remote\\ZARVOSRV.exe\"");

  // The longest path that fits: two quotes and the terminator take three.
  wchar_t path[MAX_PATH + 1];
  for (int i = 0; i < MAX_PATH; ++i) path[i] = L'a';
  path[MAX_PATH - 3] = 0;
  ASSERT_TRUE(QuoteProgramPath(path, quoted));
  EXPECT_EQ(quoted[0], L'"');
  EXPECT_EQ(quoted[MAX_PATH - 2], L'"');
  EXPECT_EQ(quoted[MAX_PATH - 1], 0);
  path[MAX_PATH - 3] = L'a';
  path[MAX_PATH - 2] = 0;
  EXPECT_FALSE(QuoteProgramPath(path, quoted));
}
