// Two threads on one controller: one moves and waits, the other reads the
// current and position and finally quick-stops.  Run under ThreadSanitizer
// (VOSTEL_SIM_TSAN) to check for data races.
#include <atomic>
#include <thread>

#include "sim_fixture.h"

class Threads : public SimTest {};

TEST_F(Threads, ReadingAndQuickStoppingWhileAnotherThreadWaits) {
  SIM_UseWallClock(5.0);  // the 3.3 s move takes about 0.7 s
  SIM_SetPosition(-40000);
  std::atomic<bool> waiting{false};
  std::atomic<int32_t> waitResult{-1};
  uint32_t waitError = 0;

  std::thread mover([&] {
    uint32_t e = 0;
    EXPECT_TRUE(VCS_MoveToPosition(handle, 0, 80000, 0, 1, &e));
    waiting = true;
    waitResult = VCS_WaitForTargetReached(handle, 0, 600000, &e);
    waitError = e;
  });

  uint32_t e = 0;
  int readsWhileWaiting = 0;
  int16_t strongest = 0;
  while (!waiting) std::this_thread::yield();
  while (waitResult == -1 && readsWhileWaiting < 2000) {
    int16_t c = 0;
    int32_t p = 0;
    ASSERT_TRUE(VCS_GetCurrentIs(handle, 0, &c, &e));
    ASSERT_TRUE(VCS_GetPositionIs(handle, 0, &p, &e));
    if (c > strongest) strongest = c;
    ++readsWhileWaiting;
    if (p > 0) break;  // past half-way
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(VCS_SetQuickStopState(handle, 0, &e));
  mover.join();

  // The waiting thread did not block the readers, and the quick stop ended
  // its wait early without reaching the target.
  EXPECT_GT(readsWhileWaiting, 1);
  EXPECT_GT(strongest, 0);
  EXPECT_EQ(waitResult, 1);
  EXPECT_EQ(waitError, 0u);
  EXPECT_LT(SIM_GetPosition(), 40000);
  EXPECT_EQ(SIM_GetDriveState(), EPOS_SIM_ST_QUICKSTOP);
  SIM_UseVirtualClock();
}
