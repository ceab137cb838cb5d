// Limit switches, fault and recovery, motor current, digital output levels
// and position-compare pulses.
#include <cmath>
#include <string>

#include "sim_fixture.h"

class Signals : public SimTest {};

TEST_F(Signals, NegativeLimitSwitchFaultsAndRecovers) {
  ASSERT_TRUE(moveRelative(-70000));
  EXPECT_EQ(inputs(), 0);
  EXPECT_FALSE(VCS_WaitForTargetReached(handle, 0, 60000, &err));
  EXPECT_EQ(err, EPOS_SIM_ERR_FAULT_STATE);
  EXPECT_EQ(position(), -60000);
  EXPECT_EQ(state(), EPOS_SIM_ST_FAULT);
  EXPECT_EQ(inputs(), 1);
  EXPECT_TRUE(reached());
  EXPECT_EQ(current(), 0);

  // Faulted: no motion, no enabling until the fault is cleared.
  EXPECT_FALSE(moveRelative(1000));
  EXPECT_EQ(err, EPOS_SIM_ERR_FAULT_STATE);
  EXPECT_FALSE(VCS_SetEnableState(handle, 0, &err));
  ASSERT_TRUE(VCS_ClearFault(handle, 0, &err));
  EXPECT_EQ(state(), EPOS_SIM_ST_DISABLED);
  ASSERT_TRUE(VCS_SetEnableState(handle, 0, &err));

  // Further into the pressed switch: fault at once, no travel.
  ASSERT_TRUE(moveRelative(-100));
  EXPECT_EQ(state(), EPOS_SIM_ST_FAULT);
  EXPECT_EQ(position(), -60000);

  // Away from it: allowed, and the switch is released.
  ASSERT_TRUE(VCS_ClearFault(handle, 0, &err));
  ASSERT_TRUE(VCS_SetEnableState(handle, 0, &err));
  ASSERT_TRUE(moveRelative(10000));
  ASSERT_TRUE(VCS_WaitForTargetReached(handle, 0, 60000, &err));
  EXPECT_EQ(position(), -50000);
  EXPECT_EQ(inputs(), 0);
  EXPECT_EQ(state(), EPOS_SIM_ST_ENABLED);
}

TEST_F(Signals, PositiveSwitchStopsAtTheInstantOfContact) {
  SIM_SetPosition(55000);
  ASSERT_TRUE(profile(1000, 1000, 1000));
  ASSERT_TRUE(moveRelative(20000));
  // 5000 counts from rest at 1000 rpm/s: t = sqrt(2*5000/a).
  const double a = 1000 * kCountsPerRpmSecond;
  const double contact = std::sqrt(2 * 5000 / a);
  SIM_AdvanceClock(contact - 1e-3);
  EXPECT_EQ(state(), EPOS_SIM_ST_ENABLED);
  EXPECT_EQ(inputs(), 0);
  SIM_AdvanceClock(2e-3);
  EXPECT_EQ(state(), EPOS_SIM_ST_FAULT);
  EXPECT_EQ(position(), 60000);
  EXPECT_EQ(inputs(), 2);
}

TEST_F(Signals, MovedLimitSwitchesApplyToARunningMove) {
  ASSERT_TRUE(SIM_SetLimitSwitches(-1000, 1000));
  EXPECT_FALSE(SIM_SetLimitSwitches(10, 10));
  ASSERT_TRUE(moveRelative(-5000));
  SIM_AdvanceClock(0.1);
  ASSERT_TRUE(SIM_SetLimitSwitches(-3000, 3000));
  ASSERT_TRUE(VCS_WaitForTargetReached(handle, 0, 60000, &err) == 0);
  EXPECT_EQ(position(), -3000);
  EXPECT_EQ(inputs(), 1);
  // A switch moved onto a standing drive is pressed but does not fault it.
  ASSERT_TRUE(VCS_ClearFault(handle, 0, &err));
  ASSERT_TRUE(SIM_SetLimitSwitches(-5000, -3500));
  EXPECT_EQ(inputs(), 2);
  EXPECT_EQ(state(), EPOS_SIM_ST_DISABLED);
}

TEST_F(Signals, CurrentFollowsTheMotion) {
  EXPECT_EQ(current(), 0);
  SIM_SetPosition(40000);
  ASSERT_TRUE(moveRelative(-80000));
  SIM_AdvanceClock(0.5);
  int16_t accelerating = current();
  SIM_AdvanceClock(0.9);  // cruising
  int16_t cruising = current();
  EXPECT_LT(accelerating, 0);
  EXPECT_LT(cruising, 0);
  EXPECT_GT(-accelerating, -cruising);
  ASSERT_TRUE(VCS_WaitForTargetReached(handle, 0, 60000, &err));
  EXPECT_EQ(current(), 0);
  ASSERT_TRUE(moveRelative(40000));
  SIM_AdvanceClock(0.5);
  EXPECT_EQ(current(), -accelerating);

  // The motor parameters can be written and read back.
  ASSERT_TRUE(VCS_SetDcMotorParameter(handle, 0, 790, 385, 41, &err));
  uint16_t nominal = 0, maxOut = 0, thermal = 0;
  ASSERT_TRUE(VCS_GetDcMotorParameter(handle, 0, &nominal, &maxOut, &thermal, &err));
  EXPECT_EQ(nominal, 790);
  EXPECT_EQ(maxOut, 385);
  EXPECT_EQ(thermal, 41);
  EXPECT_FALSE(VCS_SetDcMotorParameter(handle, 0, 0, 385, 41, &err));
  EXPECT_EQ(err, EPOS_SIM_ERR_TOO_LOW);
}

TEST_F(Signals, OutputLevelIsStateInvertedByPolarity) {
  struct Case {
    int state, mask, polarity, level;
  } cases[] = {{1, 1, 0, 1}, {1, 1, 1, 0}, {0, 1, 0, 0}, {0, 1, 1, 1}, {1, 0, 0, 0}, {0, 0, 0, 0}};
  for (const auto& c : cases) {
    ASSERT_TRUE(VCS_DigitalOutputConfiguration(handle, 0, 3, 15, c.state, c.mask, c.polarity, &err));
    EXPECT_EQ(SIM_GetOutputLevel(3), c.level) << c.state << c.mask << c.polarity;
  }
  EXPECT_FALSE(VCS_DigitalOutputConfiguration(handle, 0, 9, 15, 1, 1, 0, &err));
  EXPECT_EQ(err, EPOS_SIM_ERR_RANGE);
}

class Compare : public SimTest {
 protected:
  void configure(int op, int intervalMode, int direction, int width, int reps = 0) {
    ASSERT_TRUE(VCS_SetPositionCompareParameter(handle, 0, op, intervalMode, direction, width, reps, 500, &err));
    ASSERT_TRUE(VCS_ActivatePositionCompare(handle, 0, 3, 0, &err));
    ASSERT_TRUE(VCS_EnablePositionCompare(handle, 0, &err));
  }
  int pulsesOfMove(int32_t steps) {
    int before = SIM_PulseCount();
    EXPECT_TRUE(moveRelative(steps));
    EXPECT_TRUE(VCS_WaitForTargetReached(handle, 0, 60000, &err));
    return SIM_PulseCount() - before;
  }
};

TEST_F(Compare, OnePulsePerIntervalOfTravel) {
  SIM_SetPosition(777);
  configure(1, 2, 2, 1000);
  EXPECT_EQ(pulsesOfMove(10500), 10);
  EXPECT_EQ(pulsesOfMove(-10500), 11);  // back through them and the reference
  ASSERT_TRUE(VCS_DisablePositionCompare(handle, 0, &err));
  EXPECT_EQ(pulsesOfMove(5000), 0);

  // Pulses are at reference + k * width and in time order.
  std::string json(size_t(SIM_TraceJson(nullptr, 0)), '\0');
  SIM_TraceJson(json.data(), int(json.size()));
  EXPECT_NE(json.find("\"position\": 1777}"), std::string::npos);
  EXPECT_NE(json.find("\"position\": 10777}"), std::string::npos);
  EXPECT_EQ(json.find("\"position\": 11777}, {"), std::string::npos);
}

TEST_F(Compare, DirectionIntervalModeAndRepetitionsSelectPulses) {
  configure(1, 2, 1, 1000);  // positive travel only
  EXPECT_EQ(pulsesOfMove(-5000), 0);
  EXPECT_EQ(pulsesOfMove(5000), 5);  // -4000 .. 0 and the reference
  configure(1, 1, 2, 1000);          // above the reference only
  EXPECT_EQ(pulsesOfMove(-3000), 0);
  EXPECT_EQ(pulsesOfMove(3000), 1);  // only the reference itself
  EXPECT_EQ(pulsesOfMove(2500), 2);
  configure(1, 2, 2, 100, 3);  // three pulses per enable
  EXPECT_EQ(pulsesOfMove(2000), 3);
  configure(0, 2, 2, 100);  // single position
  EXPECT_EQ(pulsesOfMove(2000), 1);
  ASSERT_TRUE(VCS_DeactivatePositionCompare(handle, 0, 3, &err));
  EXPECT_EQ(pulsesOfMove(2000), 0);
}
