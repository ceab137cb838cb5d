// The command interface as a caller sees it: devices and handles, error
// codes and texts, the object dictionary, injected failures, the trace, and
// a client written in C.
#include <cstring>
#include <string>

#include "sim_fixture.h"

extern "C" int c_caller_session(int32_t steps, int32_t* reached, char* message, uint16_t size);

namespace {

void* open(const char* device, const char* protocol, const char* interface, const char* port, uint32_t* err) {
  return VCS_OpenDevice(const_cast<char*>(device), const_cast<char*>(protocol), const_cast<char*>(interface),
                        const_cast<char*>(port), err);
}

std::string traceJson() {
  std::string json(size_t(SIM_TraceJson(nullptr, 0)) + 256, '\0');
  int needed = SIM_TraceJson(json.data(), int(json.size()));
  json.resize(size_t(needed) - 1);
  return json;
}

}  // namespace

class Interface : public SimTest {};

TEST_F(Interface, OpensOnlyTheConfiguredDeviceAndPorts) {
  struct Case {
    const char *device, *protocol, *interface, *port;
    uint32_t error;
  } refused[] = {
      {"EPOS2", "MAXON SERIAL V2", "USB", "USB1", EPOS_SIM_ERR_NO_DEVICE},
      {"EPOS4", "MAXON SERIAL V2", "USB", "USB0", EPOS_SIM_ERR_DEVICE_NAME},
      {"EPOS2", "CANopen", "USB", "USB0", EPOS_SIM_ERR_PROTOCOL_NAME},
      {"EPOS2", "MAXON SERIAL V2", "RS232", "USB0", EPOS_SIM_ERR_INTERFACE_NAME},
  };
  for (const auto& c : refused) {
    err = 0;
    EXPECT_EQ(open(c.device, c.protocol, c.interface, c.port, &err), nullptr) << c.port;
    EXPECT_EQ(err, c.error) << c.device << c.protocol << c.interface << c.port;
  }
  EXPECT_EQ(VCS_OpenDevice(nullptr, nullptr, nullptr, nullptr, &err), nullptr);
  EXPECT_EQ(err, EPOS_SIM_ERR_NULL_POINTER);

  ASSERT_TRUE(SIM_SetPorts("USB0, USB1"));
  void* second = open("EPOS2", "MAXON SERIAL V2", "USB", "USB1", &err);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, handle);
  // Handles fit in a C int and only their low 32 bits count.
  auto raw = reinterpret_cast<uintptr_t>(second);
  EXPECT_GT(raw, 0u);
  EXPECT_LE(raw, 0x7FFFFFFFu);
  if (sizeof(void*) == 8) {
    void* dirty = reinterpret_cast<void*>(raw | (uintptr_t(0xDEAD) << 32));
    uint16_t s = 0;
    EXPECT_TRUE(VCS_GetState(dirty, 0, &s, &err));
  }
  ASSERT_TRUE(VCS_CloseDevice(second, &err));
  EXPECT_FALSE(VCS_CloseDevice(second, &err));
  EXPECT_EQ(err, EPOS_SIM_ERR_BAD_HANDLE);
  EXPECT_FALSE(VCS_SetEnableState(reinterpret_cast<void*>(uintptr_t(999999)), 0, &err));
  EXPECT_EQ(err, EPOS_SIM_ERR_BAD_HANDLE);
}

TEST_F(Interface, UnpluggedDeviceDoesNotAnswerUntilReplugged) {
  ASSERT_TRUE(moveRelative(10000));
  SIM_SetPlugged(0);
  int32_t p = 0;
  EXPECT_FALSE(VCS_GetPositionIs(handle, 0, &p, &err));
  EXPECT_EQ(err, EPOS_SIM_ERR_NO_DEVICE);
  EXPECT_EQ(open("EPOS2", "MAXON SERIAL V2", "USB", "USB0", &err), nullptr);
  EXPECT_EQ(err, EPOS_SIM_ERR_NO_DEVICE);
  // The controller keeps running on its own meanwhile.
  SIM_AdvanceClock(10);
  SIM_SetPlugged(1);
  EXPECT_EQ(position(), 10000);
}

TEST_F(Interface, EveryErrorHasATextTruncatedToTheBuffer) {
  const uint32_t codes[] = {EPOS_SIM_ERR_READ_ONLY,      EPOS_SIM_ERR_NO_OBJECT,   EPOS_SIM_ERR_LENGTH,
                            EPOS_SIM_ERR_NO_SUBINDEX,    EPOS_SIM_ERR_RANGE,       EPOS_SIM_ERR_TOO_HIGH,
                            EPOS_SIM_ERR_TOO_LOW,        EPOS_SIM_ERR_GENERAL,     EPOS_SIM_ERR_NULL_POINTER,
                            EPOS_SIM_ERR_BAD_HANDLE,     EPOS_SIM_ERR_DEVICE_NAME, EPOS_SIM_ERR_PROTOCOL_NAME,
                            EPOS_SIM_ERR_INTERFACE_NAME, EPOS_SIM_ERR_TIMEOUT,     EPOS_SIM_ERR_NO_DEVICE,
                            EPOS_SIM_ERR_NOT_ENABLED,    EPOS_SIM_ERR_FAULT_STATE};
  char text[255];
  for (uint32_t code : codes) {
    EXPECT_TRUE(VCS_GetErrorInfo(code, text, sizeof text)) << std::hex << code;
    EXPECT_GT(std::strlen(text), 10u) << std::hex << code;
  }
  char small[8];
  std::memset(small, 'x', sizeof small);
  ASSERT_TRUE(VCS_GetErrorInfo(EPOS_SIM_ERR_TIMEOUT, small, 6));
  EXPECT_STREQ(small, "Timeo");
  EXPECT_EQ(small[6], 'x');
  EXPECT_FALSE(VCS_GetErrorInfo(0x7777, text, sizeof text));
  EXPECT_STREQ(text, "Unknown error code");
}

TEST_F(Interface, ObjectDictionaryHoldsTheFactoryCalibration) {
  struct Word {
    uint16_t index;
    uint8_t sub;
    uint32_t value;
  } words[] = {{0x200C, 1, 0x0A7C5AA4},
               {0x200C, 2, 0x87D0008A},
               {0x200C, 3, 0x0B9F760A},
               {0x200C, 4, 0x1DB01F40},
               {0x2081, 0, 0}};
  for (const auto& w : words) {
    uint32_t value = 0xFFFFFFFF, n = 0;
    ASSERT_TRUE(VCS_GetObject(handle, 0, w.index, w.sub, &value, 4, &n, &err)) << std::hex << w.index;
    EXPECT_EQ(value, w.value) << std::hex << w.index << "." << int(w.sub);
    EXPECT_EQ(n, 4u);
  }

  int32_t home = -40000, back = 0;
  uint32_t n = 0;
  ASSERT_TRUE(VCS_SetObject(handle, 0, 0x2081, 0, &home, 4, &n, &err));
  ASSERT_TRUE(VCS_GetObject(handle, 0, 0x2081, 0, &back, 4, &n, &err));
  EXPECT_EQ(back, -40000);

  uint32_t value = 0;
  EXPECT_FALSE(VCS_GetObject(handle, 0, 0x1234, 0, &value, 4, &n, &err));
  EXPECT_EQ(err, EPOS_SIM_ERR_NO_OBJECT);
  EXPECT_FALSE(VCS_GetObject(handle, 0, 0x200C, 9, &value, 4, &n, &err));
  EXPECT_EQ(err, EPOS_SIM_ERR_NO_SUBINDEX);
  EXPECT_FALSE(VCS_SetObject(handle, 0, 0x6064, 0, &value, 4, &n, &err));
  EXPECT_EQ(err, EPOS_SIM_ERR_READ_ONLY);
  EXPECT_FALSE(VCS_SetObject(handle, 0, 0x2081, 0, &value, 2, &n, &err));
  EXPECT_EQ(err, EPOS_SIM_ERR_LENGTH);

  // Objects and dedicated commands agree.
  uint32_t pulses = 0;
  ASSERT_TRUE(VCS_SetIncEncoderParameter(handle, 0, 1024, 0, &err));
  ASSERT_TRUE(VCS_GetObject(handle, 0, 0x2210, 1, &pulses, 4, &n, &err));
  EXPECT_EQ(pulses, 1024u);
  SIM_SetPosition(-321);
  int32_t actual = 0;
  ASSERT_TRUE(VCS_GetObject(handle, 0, 0x6064, 0, &actual, 4, &n, &err));
  EXPECT_EQ(actual, -321);
}

TEST_F(Interface, InjectedFailuresFailWithoutEffect) {
  ASSERT_TRUE(SIM_FailNext("VCS_MoveToPosition", 2, 0x1000000A));
  EXPECT_FALSE(moveRelative(1000));
  EXPECT_EQ(err, 0x1000000Au);
  EXPECT_FALSE(moveRelative(1000));
  EXPECT_EQ(SIM_IsMoving(), 0);
  EXPECT_TRUE(moveRelative(1000));
  EXPECT_EQ(err, 0u);

  ASSERT_TRUE(SIM_FailNext("*", 1, EPOS_SIM_ERR_TIMEOUT));
  EXPECT_FALSE(VCS_GetMovementState(handle, 0, nullptr, &err));
  EXPECT_EQ(err, EPOS_SIM_ERR_TIMEOUT);
  EXPECT_FALSE(VCS_GetMovementState(handle, 0, nullptr, &err));
  EXPECT_EQ(err, EPOS_SIM_ERR_NULL_POINTER);

  ASSERT_TRUE(SIM_FailNext("VCS_OpenDevice", 1, EPOS_SIM_ERR_NO_DEVICE));
  EXPECT_EQ(open("EPOS2", "MAXON SERIAL V2", "USB", "USB0", &err), nullptr);
  EXPECT_NE(open("EPOS2", "MAXON SERIAL V2", "USB", "USB0", &err), nullptr);
}

TEST_F(Interface, TraceRecordsCommandsEventsAndPositions) {
  SIM_TraceClear();
  ASSERT_TRUE(moveRelative(-70000));
  SIM_AdvanceClock(10);
  ASSERT_TRUE(VCS_DigitalOutputConfiguration(handle, 0, 3, 15, 1, 1, 0, &err));
  EXPECT_FALSE(moveRelative(5));
  EXPECT_EQ(SIM_CommandCount("VCS_MoveToPosition"), 2);
  EXPECT_EQ(SIM_CommandCount("VCS_GetState"), 0);

  std::string json = traceJson();
  std::string move = "\"name\": \"VCS_MoveToPosition\", \"args\": \"" +
                     std::to_string(reinterpret_cast<uintptr_t>(handle)) + ", 0, -70000, 0, 1\", \"ok\": true";
  EXPECT_NE(json.find(move), std::string::npos) << json;
  EXPECT_NE(json.find("\"ok\": false, \"error\": " + std::to_string(EPOS_SIM_ERR_FAULT_STATE)), std::string::npos);
  EXPECT_NE(json.find("\"output\": 3, \"level\": 1"), std::string::npos);
  EXPECT_NE(json.find("negative limit switch reached"), std::string::npos);
  EXPECT_NE(json.find("\"position\": -60000"), std::string::npos);
  // Position samples at the ends of the ramps, not only at commands.
  EXPECT_NE(json.find("\"position\": -17067"), std::string::npos);

  // Too small a buffer is left alone and the needed size is returned.
  char tiny[4] = "abc";
  EXPECT_GT(SIM_TraceJson(tiny, sizeof tiny), 4);
  EXPECT_STREQ(tiny, "abc");
}

TEST(CCaller, SessionThroughThePlainCPrototypes) {
  SIM_SetStateFile(testStateFile("c_caller").c_str());
  SIM_Reset(1);
  SIM_UseVirtualClock();
  int32_t reached = 0;
  char message[64];
  EXPECT_EQ(c_caller_session(-12345, &reached, message, sizeof message), 0) << message;
  EXPECT_EQ(reached, -12345);
  SIM_SetPlugged(0);
  EXPECT_EQ(c_caller_session(1, &reached, message, sizeof message), 1);
  EXPECT_NE(std::string(message).find("No communication"), std::string::npos);
  SIM_Reset(1);
}
