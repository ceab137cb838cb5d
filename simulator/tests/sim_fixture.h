// Common set-up of the simulator tests: a fresh controller with its memory in
// a file of the test's own, the virtual clock, and one open, enabled device.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>

#include "epos_sim.h"

// A file name of this test alone: ctest runs the tests in parallel processes.
inline std::string testStateFile(const char* name) {
  static const unsigned processTag = std::random_device{}();
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string file = std::string("vostel_sim_test_") + name + "_" + (test ? test->name() : "none") + "_" +
                     std::to_string(processTag) + ".txt";
  return (std::filesystem::temp_directory_path() / file).string();
}

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SIM_SetStateFile(testStateFile("gtest").c_str());
    SIM_Reset(1);
    SIM_UseVirtualClock();
    SIM_SetClockStep(0);
    handle = VCS_OpenDevice(const_cast<char*>("EPOS2"), const_cast<char*>("MAXON SERIAL V2"), const_cast<char*>("USB"),
                            const_cast<char*>("USB0"), &err);
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(VCS_SetEnableState(handle, 0, &err));
  }
  void TearDown() override { SIM_Reset(1); }

  // Reads one value through a VCS_Get... command that takes a single
  // out-parameter.
  template <class T>
  T read(int32_t(VCS_CALL* command)(void*, uint16_t, T*, uint32_t*)) {
    T value{};
    EXPECT_TRUE(command(handle, 0, &value, &err));
    return value;
  }
  int32_t position() { return read(VCS_GetPositionIs); }
  bool reached() { return read(VCS_GetMovementState) != 0; }
  uint16_t inputs() { return read(VCS_GetAllDigitalInputs); }
  uint16_t state() { return read(VCS_GetState); }
  int16_t current() { return read(VCS_GetCurrentIs); }
  bool moveRelative(int32_t steps) { return VCS_MoveToPosition(handle, 0, steps, 0, 1, &err) != 0; }
  bool profile(uint32_t v, uint32_t a, uint32_t d) { return VCS_SetPositionProfile(handle, 0, v, a, d, &err) != 0; }

  void* handle = nullptr;
  uint32_t err = 0;
};

// Profile units: rpm and rpm/s; the factory encoder has 512 pulses, so one
// revolution is 2048 counts and 1 rpm is 2048/60 counts/s.
constexpr double kCountsPerRpmSecond = 2048.0 / 60.0;
