// Motion profile: the planner's trapezoids and triangles, and moves through
// the command interface under the virtual clock.
#include <cmath>

#include "motion.h"
#include "sim_fixture.h"

using vsim::Kinematics;
using vsim::planMove;
using vsim::planStop;
using vsim::Segment;

namespace {

double endTime(const std::vector<Segment>& s) { return s.back().t1(); }
double endPos(const std::vector<Segment>& s) { return s.back().p1(); }

void expectContinuousAndMonotonic(const std::vector<Segment>& segs) {
  for (size_t i = 0; i < segs.size(); ++i) {
    const Segment& s = segs[i];
    EXPECT_GT(s.dur, 0);
    // Velocity never changes sign inside a segment.
    EXPECT_GE(s.v0 * s.velAt(s.t1()), -1e-9) << "segment " << i;
    if (i > 0) {
      EXPECT_NEAR(segs[i - 1].t1(), s.t0, 1e-12);
      EXPECT_NEAR(segs[i - 1].p1(), s.p0, 1e-6);
      EXPECT_NEAR(segs[i - 1].velAt(s.t0), s.v0, 1e-6);
    }
  }
  EXPECT_NEAR(segs.back().velAt(segs.back().t1()), 0, 1e-6);
}

}  // namespace

TEST(Planner, TrapezoidHasRampsAndCruiseOfTheExpectedLengths) {
  auto segs = planMove(10, 0, 0, 1000, Kinematics{100, 50, 25});
  ASSERT_EQ(segs.size(), 3u);
  EXPECT_NEAR(segs[0].dur, 2.0, 1e-9);  // 0 -> 100 at 50
  EXPECT_NEAR(segs[1].dur, 7.0, 1e-9);  // 700 counts at 100
  EXPECT_NEAR(segs[2].dur, 4.0, 1e-9);  // 100 -> 0 at 25
  EXPECT_NEAR(endTime(segs), 23.0, 1e-9);
  EXPECT_NEAR(endPos(segs), 1000, 1e-9);
  EXPECT_NEAR(segs[1].posAt(12.0), 100, 1e-9);
  expectContinuousAndMonotonic(segs);
}

TEST(Planner, ShortMoveIsATriangleBelowTheVelocityLimit) {
  auto segs = planMove(0, 500, 0, 400, Kinematics{1000, 100, 100});
  ASSERT_EQ(segs.size(), 2u);
  EXPECT_NEAR(segs[0].dur, 1.0, 1e-9);
  EXPECT_NEAR(segs[0].p1(), 450, 1e-9);
  EXPECT_NEAR(segs[0].velAt(1.0), -100, 1e-9);
  EXPECT_NEAR(endTime(segs), 2.0, 1e-9);
  EXPECT_NEAR(endPos(segs), 400, 1e-9);
  expectContinuousAndMonotonic(segs);
}

TEST(Planner, RunningDriveBrakesBeforeReversingOrWhenTooFast) {
  // Moving away from the target: brake to a standstill first.
  auto away = planMove(0, 0, 50, -100, Kinematics{100, 50, 50});
  EXPECT_NEAR(away[0].dur, 1.0, 1e-9);
  EXPECT_NEAR(away[0].p1(), 25, 1e-9);
  EXPECT_NEAR(endPos(away), -100, 1e-9);
  expectContinuousAndMonotonic(away);

  // Too fast to stop at the target: overshoot and come back.
  auto overshoot = planMove(0, 0, 100, 10, Kinematics{100, 50, 50});
  EXPECT_NEAR(overshoot[0].p1(), 100, 1e-9);
  EXPECT_NEAR(endPos(overshoot), 10, 1e-9);
  expectContinuousAndMonotonic(overshoot);

  // Faster than a lowered velocity limit: slow down to it, then cruise.
  auto slower = planMove(0, 0, 200, 10000, Kinematics{100, 50, 50});
  EXPECT_NEAR(slower[0].velAt(slower[0].t1()), 100, 1e-9);
  EXPECT_NEAR(endPos(slower), 10000, 1e-6);
  expectContinuousAndMonotonic(slower);

  auto stop = planStop(3, 10, -40, 20);
  ASSERT_EQ(stop.size(), 1u);
  EXPECT_NEAR(endTime(stop), 5.0, 1e-9);
  EXPECT_NEAR(endPos(stop), -30, 1e-9);
}

TEST(Planner, TimeOfPositionInvertsPosition) {
  for (const auto& seg : planMove(0, 100, 30, -2000, Kinematics{300, 70, 120})) {
    for (double f : {0.0, 0.1, 0.5, 0.93, 1.0}) {
      double t = seg.t0 + f * seg.dur;
      EXPECT_NEAR(seg.timeOfPosition(seg.posAt(t)), t, 1e-6);
    }
  }
}

class Moves : public SimTest {};

TEST_F(Moves, DefaultProfileTrapezoidThroughTheInterface) {
  // 1000 rpm, 1000 rpm/s: 1 s ramps of 17066.7 counts, then cruise.
  const double v = 1000 * kCountsPerRpmSecond;
  const double total = 2.0 + (40000 - v) / v;
  double t0 = SIM_GetTime();
  ASSERT_TRUE(moveRelative(40000));
  EXPECT_FALSE(reached());
  SIM_AdvanceClock(0.5);
  EXPECT_EQ(position(), std::lround(0.5 * v * 0.25));
  SIM_AdvanceClock(total - 0.5 - 1e-6);
  EXPECT_FALSE(reached());
  EXPECT_NEAR(position(), 40000, 1);
  SIM_AdvanceClock(2e-6);
  EXPECT_TRUE(reached());
  EXPECT_EQ(position(), 40000);
  EXPECT_NEAR(SIM_GetTime() - t0, total, 1e-5);

  // Absolute move back to a fixed position.
  ASSERT_TRUE(VCS_MoveToPosition(handle, 0, -123, 1, 1, &err));
  ASSERT_TRUE(VCS_WaitForTargetReached(handle, 0, 10000, &err));
  EXPECT_EQ(position(), -123);
}

TEST_F(Moves, MaximumVelocityAndAccelerationBoundTheProfile) {
  ASSERT_TRUE(profile(3000, 3000, 3000));
  ASSERT_TRUE(VCS_SetMaxProfileVelocity(handle, 0, 600, &err));
  ASSERT_TRUE(VCS_SetMaxAcceleration(handle, 0, 300, &err));
  // 600 rpm reached in 2 s at 300 rpm/s; each ramp covers 600*2/2 rpm*s.
  const double v = 600 * kCountsPerRpmSecond, ramp = v * 2 / 2;
  const double dist = 2 * ramp + v * 1.5;  // 1.5 s of cruise
  SIM_SetPosition(-40000);
  double t0 = SIM_GetTime();
  ASSERT_TRUE(moveRelative(int32_t(std::lround(dist))));
  ASSERT_TRUE(VCS_WaitForTargetReached(handle, 0, 60000, &err));
  EXPECT_NEAR(SIM_GetTime() - t0, 5.5, 1e-3);

  // The profile reads back as written; values of 0 are refused.
  uint32_t pv = 0, pa = 0, pd = 0;
  ASSERT_TRUE(VCS_GetPositionProfile(handle, 0, &pv, &pa, &pd, &err));
  EXPECT_EQ(pv, 3000u);
  EXPECT_FALSE(profile(300, 0, 300));
  EXPECT_EQ(err, EPOS_SIM_ERR_TOO_LOW);
  ASSERT_TRUE(VCS_GetPositionProfile(handle, 0, &pv, &pa, &pd, &err));
  EXPECT_EQ(pa, 3000u);
}

TEST_F(Moves, WaitForTargetReachedTimesOutOrAdvancesToTheEnd) {
  ASSERT_TRUE(profile(1000, 1000, 1000));
  ASSERT_TRUE(moveRelative(17067 * 2));  // a 2 s triangle
  double t0 = SIM_GetTime();
  EXPECT_FALSE(VCS_WaitForTargetReached(handle, 0, 500, &err));
  EXPECT_EQ(err, EPOS_SIM_ERR_TIMEOUT);
  EXPECT_NEAR(SIM_GetTime() - t0, 0.5, 1e-9);
  EXPECT_FALSE(VCS_WaitForTargetReached(handle, 0, 0, &err));
  EXPECT_EQ(err, EPOS_SIM_ERR_TIMEOUT);
  EXPECT_TRUE(VCS_WaitForTargetReached(handle, 0, 10000, &err));
  EXPECT_EQ(err, 0u);
  EXPECT_NEAR(SIM_GetTime() - t0, 2.0, 1e-3);
  EXPECT_EQ(position(), 34134);
  // At rest the wait returns at once.
  EXPECT_TRUE(VCS_WaitForTargetReached(handle, 0, 0, &err));
}

TEST_F(Moves, MotionNeedsTheEnabledStateAndDisablingStops) {
  ASSERT_TRUE(VCS_SetDisableState(handle, 0, &err));
  EXPECT_FALSE(moveRelative(1000));
  EXPECT_EQ(err, EPOS_SIM_ERR_NOT_ENABLED);
  EXPECT_EQ(state(), EPOS_SIM_ST_DISABLED);

  ASSERT_TRUE(VCS_SetEnableState(handle, 0, &err));
  ASSERT_TRUE(moveRelative(40000));
  SIM_AdvanceClock(1.0);
  int32_t at = position();
  ASSERT_TRUE(VCS_SetDisableState(handle, 0, &err));
  SIM_AdvanceClock(5.0);
  EXPECT_EQ(position(), at);
  EXPECT_TRUE(reached());
}

TEST_F(Moves, QuickStopBrakesAndEnableResumes) {
  SIM_SetPosition(-40000);
  ASSERT_TRUE(moveRelative(80000));
  SIM_AdvanceClock(1.5);  // cruising at 1000 rpm
  int32_t at = position();
  ASSERT_TRUE(VCS_SetQuickStopState(handle, 0, &err));
  EXPECT_EQ(state(), EPOS_SIM_ST_QUICKSTOP);
  EXPECT_FALSE(moveRelative(100));
  EXPECT_EQ(err, EPOS_SIM_ERR_NOT_ENABLED);
  // Quick-stop deceleration 10000 rpm/s: 0.1 s from 1000 rpm.
  const double v = 1000 * kCountsPerRpmSecond;
  SIM_AdvanceClock(0.2);
  EXPECT_TRUE(reached());
  EXPECT_NEAR(position(), at + v * 0.1 / 2, 1);
  ASSERT_TRUE(VCS_SetEnableState(handle, 0, &err));
  EXPECT_TRUE(moveRelative(100));
}

TEST_F(Moves, ImmediateMoveRetargetsAndQueuedMoveFollows) {
  ASSERT_TRUE(moveRelative(40000));
  SIM_AdvanceClock(1.0);
  // Immediate absolute move back to 0 while running forward.
  ASSERT_TRUE(VCS_MoveToPosition(handle, 0, 0, 1, 1, &err));
  ASSERT_TRUE(VCS_WaitForTargetReached(handle, 0, 60000, &err));
  EXPECT_EQ(position(), 0);

  // A move that is not immediate starts when the running one ends, relative
  // to its target.
  ASSERT_TRUE(moveRelative(1000));
  ASSERT_TRUE(VCS_MoveToPosition(handle, 0, 500, 0, 0, &err));
  ASSERT_TRUE(VCS_WaitForTargetReached(handle, 0, 60000, &err));
  EXPECT_EQ(position(), 1500);
}

TEST_F(Moves, ClockStepLetsAPollingLoopRunWithoutSleeping) {
  ASSERT_TRUE(SIM_SetClockStep(0.1));
  EXPECT_FALSE(SIM_SetClockStep(-1));
  ASSERT_TRUE(moveRelative(17067 * 2));  // just over 2 s
  int polls = 0;
  while (!reached() && polls < 1000) ++polls;
  // Each command moves the clock on by 0.1 s before it is carried out.
  EXPECT_EQ(polls, 20);
  SIM_SetClockStep(0);
}
