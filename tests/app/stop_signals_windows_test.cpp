// Ctrl+C in the console the program runs in asks the message loop to end, through the event it waits on.

#include <gtest/gtest.h>
#include <windows.h>

#include "app/stop_signals.h"

namespace tessarine::app {
namespace {

TEST(StopSignalsTest, CtrlCSignalsTheEventUntilTaken) {
  // Run from a test runner the program has no console of its own, and the event needs one.
  FreeConsole();
  ASSERT_TRUE(AllocConsole()) << GetLastError();
  TStopSignals signals;
  const HANDLE event = reinterpret_cast<HANDLE>(signals.Descriptor());
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << GetLastError();
  EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
  EXPECT_FALSE(signals.StopRequested());
  signals.TakeSignals();
  EXPECT_TRUE(signals.StopRequested());
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
}

}  // namespace
}  // namespace tessarine::app
