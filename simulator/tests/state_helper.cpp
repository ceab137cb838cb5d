// Second process for the persistence tests.
//   sim_state_helper write POSITION HOME   stores a moved drive and a home position
//   sim_state_helper read                  prints "POSITION HOME COEFF_A" as found
// The state file comes from VOSTEL_SIM_STATE.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "epos_sim.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  SIM_UseVirtualClock();
  uint32_t err = 0;
  void* h = VCS_OpenDevice(const_cast<char*>("EPOS2"), const_cast<char*>("MAXON SERIAL V2"), const_cast<char*>("USB"),
                           const_cast<char*>("USB0"), &err);
  if (!h || !VCS_SetEnableState(h, 0, &err)) return 3;
  uint32_t n = 0;
  if (std::strcmp(argv[1], "write") == 0 && argc == 4) {
    int32_t target = std::atoi(argv[2]);
    int32_t home = std::atoi(argv[3]);
    if (!VCS_MoveToPosition(h, 0, target, 1, 1, &err) || !VCS_WaitForTargetReached(h, 0, 100000, &err)) return 4;
    if (!VCS_SetObject(h, 0, 0x2081, 0, &home, 4, &n, &err) || !VCS_Store(h, 0, &err)) return 5;
  } else if (std::strcmp(argv[1], "read") == 0) {
    int32_t position = 0, home = 0;
    uint32_t coeffA = 0;
    if (!VCS_GetPositionIs(h, 0, &position, &err) || !VCS_GetObject(h, 0, 0x2081, 0, &home, 4, &n, &err) ||
        !VCS_GetObject(h, 0, 0x200C, 1, &coeffA, 4, &n, &err))
      return 6;
    std::printf("%d %d %u\n", position, home, coeffA);
  } else {
    return 2;
  }
  VCS_CloseDevice(h, &err);
  return 0;
}
