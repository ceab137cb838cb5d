// The controller's stored memory survives the process: what one process
// stores, the next one finds.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "sim_fixture.h"

namespace {

void setStateEnv(const std::string& path) {
#ifdef _WIN32
  _putenv_s("VOSTEL_SIM_STATE", path.c_str());
#else
  setenv("VOSTEL_SIM_STATE", path.c_str(), 1);
#endif
}

// Runs the helper program with the given arguments and returns its output.
std::string runHelper(const std::string& arguments, int* status) {
  std::string out = testStateFile("helper_output");
  std::string cmd = std::string("\"") + SIM_STATE_HELPER + "\" " + arguments + " > \"" + out + "\"";
#ifdef _WIN32
  cmd = "\"" + cmd + "\"";
#endif
  *status = std::system(cmd.c_str());
  std::ifstream in(out);
  std::stringstream text;
  text << in.rdbuf();
  std::remove(out.c_str());
  return text.str();
}

}  // namespace

class Persistence : public SimTest {
 protected:
  void SetUp() override {
    path = testStateFile("persistence");
    setStateEnv(path);
    SimTest::SetUp();
    SIM_SetStateFile(path.c_str());
    SIM_Reset(1);
    handle = VCS_OpenDevice(const_cast<char*>("EPOS2"), const_cast<char*>("MAXON SERIAL V2"), const_cast<char*>("USB"),
                            const_cast<char*>("USB0"), &err);
    ASSERT_TRUE(VCS_SetEnableState(handle, 0, &err));
  }
  void TearDown() override {
    SimTest::TearDown();
    SIM_SetStateFile(nullptr);
  }
  std::string path;
};

TEST_F(Persistence, StoredPositionAndObjectsReachAnotherProcess) {
  int32_t home = -1234;
  uint32_t coeffA = 0x12345678, n = 0;
  ASSERT_TRUE(VCS_MoveToPosition(handle, 0, 5000, 1, 1, &err));
  ASSERT_TRUE(VCS_WaitForTargetReached(handle, 0, 10000, &err));
  ASSERT_TRUE(VCS_SetObject(handle, 0, 0x2081, 0, &home, 4, &n, &err));
  ASSERT_TRUE(VCS_SetObject(handle, 0, 0x200C, 1, &coeffA, 4, &n, &err));

  int status = -1;
  // Not stored yet: the other process sees the factory memory.
  EXPECT_EQ(runHelper("read", &status), "0 0 175921828\n");
  EXPECT_EQ(status, 0);

  ASSERT_TRUE(VCS_Store(handle, 0, &err));
  EXPECT_EQ(runHelper("read", &status), "5000 -1234 305419896\n");
  EXPECT_EQ(status, 0);
}

TEST_F(Persistence, AnotherProcessStoresAndAPowerCycleLoads) {
  int status = -1;
  runHelper("write -20000 777", &status);
  ASSERT_EQ(status, 0);
  // This process still holds its own state until it is power-cycled.
  int32_t home = 0;
  uint32_t n = 0;
  ASSERT_TRUE(VCS_GetObject(handle, 0, 0x2081, 0, &home, 4, &n, &err));
  EXPECT_EQ(home, 0);

  SIM_Reset(0);
  EXPECT_EQ(SIM_GetPosition(), -20000);
  handle = VCS_OpenDevice(const_cast<char*>("EPOS2"), const_cast<char*>("MAXON SERIAL V2"), const_cast<char*>("USB"),
                          const_cast<char*>("USB0"), &err);
  ASSERT_TRUE(VCS_GetObject(handle, 0, 0x2081, 0, &home, 4, &n, &err));
  EXPECT_EQ(home, 777);

  // Forgetting the memory brings back the factory state.
  SIM_Reset(1);
  EXPECT_EQ(SIM_GetPosition(), 0);
  std::ifstream gone(path);
  EXPECT_FALSE(gone.good());
}

TEST_F(Persistence, UnwritableStateFileFailsTheStore) {
  SIM_SetStateFile((path + ".missing_dir/state.txt").c_str());
  EXPECT_FALSE(VCS_Store(handle, 0, &err));
  EXPECT_EQ(err, EPOS_SIM_ERR_GENERAL);
  char buf[512];
  ASSERT_LT(SIM_GetStateFile(buf, sizeof buf), int(sizeof buf));
  EXPECT_NE(std::string(buf).find(".missing_dir"), std::string::npos);
}
