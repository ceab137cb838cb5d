// The controller's object dictionary: the parameters the drive works with,
// the instrument's calibration words and the home position.  Values are kept
// as raw 32-bit words; signed objects hold two's complement.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace vsim {

struct ObjectDef {
  uint16_t index;
  uint8_t sub;
  uint8_t size;  // bytes
  bool isSigned;
  bool writable;
  int64_t min;
  int64_t max;
  uint32_t factory;
  const char* name;
};

// Objects whose value the drive computes (position, status, inputs) are
// defined here as read-only; their value is supplied by the drive.
namespace obj {
constexpr uint32_t key(uint16_t index, uint8_t sub) { return (uint32_t(index) << 8) | sub; }
constexpr uint32_t kCoeffA = key(0x200C, 1);
constexpr uint32_t kCoeffB = key(0x200C, 2);
constexpr uint32_t kCoeffC = key(0x200C, 3);
constexpr uint32_t kRange = key(0x200C, 4);
constexpr uint32_t kHomePosition = key(0x2081, 0);
constexpr uint32_t kEncoderPulses = key(0x2210, 1);
constexpr uint32_t kEncoderPolarity = key(0x2210, 4);
constexpr uint32_t kNominalCurrent = key(0x6410, 1);
constexpr uint32_t kMaxOutputCurrent = key(0x6410, 2);
constexpr uint32_t kThermalTimeConstant = key(0x6410, 5);
constexpr uint32_t kStatusword = key(0x6041, 0);
constexpr uint32_t kPositionActual = key(0x6064, 0);
constexpr uint32_t kMaxProfileVelocity = key(0x607F, 0);
constexpr uint32_t kProfileVelocity = key(0x6081, 0);
constexpr uint32_t kProfileAcceleration = key(0x6083, 0);
constexpr uint32_t kProfileDeceleration = key(0x6084, 0);
constexpr uint32_t kQuickStopDeceleration = key(0x6085, 0);
constexpr uint32_t kMaxAcceleration = key(0x60C5, 0);
constexpr uint32_t kDigitalInputs = key(0x60FD, 0);
}  // namespace obj

// Calibration word formats of the instrument.
uint32_t encodeCoefficient(double coeff);
uint32_t encodeRange(double minNm, double maxNm);

class ObjectDictionary {
 public:
  ObjectDictionary();  // factory values

  // Looks an object up; returns nullptr and sets *error when it does not
  // exist (object or subindex).
  static const ObjectDef* find(uint16_t index, uint8_t sub, uint32_t* error);
  static const ObjectDef* find(uint32_t key);

  uint32_t get(uint32_t key) const;
  // Checks a value against the object's range; 0 or an error code.
  static uint32_t check(uint32_t key, uint32_t raw);
  void set(uint32_t key, uint32_t raw) { values_[key] = raw; }

  // Text form of the writable objects, one "0xIIII.S 0xVVVVVVVV" per line,
  // and its reverse (unknown or malformed lines are skipped).
  std::string serialize() const;
  void deserializeLine(const std::string& line);

 private:
  std::map<uint32_t, uint32_t> values_;
};

}  // namespace vsim
