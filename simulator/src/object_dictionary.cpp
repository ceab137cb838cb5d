#include "object_dictionary.h"

#include <cstdlib>

#include "../epos_sim.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace vsim {

uint32_t encodeCoefficient(double coeff) {
  int e = 0;
  double f = std::frexp(coeff, &e);
  auto mant = static_cast<int64_t>(std::trunc(f * 1e6));
  uint32_t mantPart = f >= 0 ? uint32_t(mant) << 8 : (uint32_t(-mant) | 0x800000u) << 8;
  uint32_t expPart = e >= 0 ? uint32_t(e) : (uint32_t(-e) | 0x80u);
  return mantPart + expPart;
}

uint32_t encodeRange(double minNm, double maxNm) {
  auto lo = static_cast<uint32_t>(std::trunc(minNm * 10));
  auto hi = static_cast<uint32_t>(std::trunc(maxNm * 10));
  return (lo << 16) | hi;
}

namespace {

constexpr int64_t kU32 = std::numeric_limits<uint32_t>::max();
constexpr int64_t kI32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kI32Max = std::numeric_limits<int32_t>::max();

// Factory calibration: 760 to 800 nm, wavelength falling as position grows.
const ObjectDef kObjects[] = {
    {0x1000, 0, 4, false, false, 0, kU32, 0x00020192u, "device type"},
    {0x200C, 1, 4, false, true, 0, kU32, encodeCoefficient(1e-11), "coefficient A"},
    {0x200C, 2, 4, false, true, 0, kU32, encodeCoefficient(-0.0005), "coefficient B"},
    {0x200C, 3, 4, false, true, 0, kU32, encodeCoefficient(780.0), "coefficient C"},
    {0x200C, 4, 4, false, true, 0, kU32, encodeRange(760.0, 800.0), "wavelength range"},
    {0x2081, 0, 4, true, true, kI32Min, kI32Max, 0, "home position"},
    {0x2210, 1, 4, false, true, 16, 2500000, 512, "encoder pulses per revolution"},
    {0x2210, 4, 2, false, true, 0, 1, 0, "encoder polarity"},
    {0x6041, 0, 2, false, false, 0, 0xFFFF, 0, "statusword"},
    {0x6064, 0, 4, true, false, kI32Min, kI32Max, 0, "position actual value"},
    {0x607F, 0, 4, false, true, 1, 25000, 4900, "max profile velocity"},
    {0x6081, 0, 4, false, true, 1, kU32, 1000, "profile velocity"},
    {0x6083, 0, 4, false, true, 1, kU32, 1000, "profile acceleration"},
    {0x6084, 0, 4, false, true, 1, kU32, 1000, "profile deceleration"},
    {0x6085, 0, 4, false, true, 1, kU32, 10000, "quick stop deceleration"},
    {0x60C5, 0, 4, false, true, 1, kU32, 0xFFFFFFFFu, "max acceleration"},
    {0x60FD, 0, 4, false, false, 0, kU32, 0, "digital inputs"},
    {0x6410, 1, 2, false, true, 1, 0xFFFF, 385, "nominal current"},
    {0x6410, 2, 2, false, true, 1, 0xFFFF, 790, "output current limit"},
    {0x6410, 5, 2, false, true, 1, 0xFFFF, 40, "thermal time constant winding"},
};

}  // namespace

ObjectDictionary::ObjectDictionary() {
  for (const auto& d : kObjects) values_[obj::key(d.index, d.sub)] = d.factory;
  // The quick-stop deceleration a factory-fresh controller starts with may be
  // given in the environment (rpm/s), for demos of a drive that brakes slowly.
  if (const char* text = std::getenv("VOSTEL_SIM_QUICK_STOP_DECELERATION")) {
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    if (end != text && *end == '\0' && value <= 0xFFFFFFFFul && check(obj::kQuickStopDeceleration, uint32_t(value)) == 0)
      values_[obj::kQuickStopDeceleration] = uint32_t(value);
  }
}

const ObjectDef* ObjectDictionary::find(uint16_t index, uint8_t sub, uint32_t* error) {
  bool indexKnown = false;
  for (const auto& d : kObjects) {
    if (d.index != index) continue;
    indexKnown = true;
    if (d.sub == sub) return &d;
  }
  if (error) *error = indexKnown ? EPOS_SIM_ERR_NO_SUBINDEX : EPOS_SIM_ERR_NO_OBJECT;
  return nullptr;
}

const ObjectDef* ObjectDictionary::find(uint32_t key) { return find(uint16_t(key >> 8), uint8_t(key & 0xFF), nullptr); }

uint32_t ObjectDictionary::get(uint32_t key) const {
  auto it = values_.find(key);
  return it == values_.end() ? 0 : it->second;
}

uint32_t ObjectDictionary::check(uint32_t key, uint32_t raw) {
  const ObjectDef* d = find(key);
  if (!d) return EPOS_SIM_ERR_NO_OBJECT;
  int64_t v = d->isSigned ? int64_t(int32_t(raw)) : int64_t(raw);
  if (v < d->min) return EPOS_SIM_ERR_TOO_LOW;
  if (v > d->max) return EPOS_SIM_ERR_TOO_HIGH;
  return 0;
}

std::string ObjectDictionary::serialize() const {
  std::string out;
  char line[64];
  for (const auto& d : kObjects) {
    if (!d.writable) continue;
    std::snprintf(line, sizeof line, "0x%04X.%u 0x%08X  # %s\n", d.index, unsigned(d.sub),
                  unsigned(get(obj::key(d.index, d.sub))), d.name);
    out += line;
  }
  return out;
}

void ObjectDictionary::deserializeLine(const std::string& line) {
  unsigned index = 0, sub = 0, value = 0;
  if (std::sscanf(line.c_str(), " 0x%x.%u 0x%x", &index, &sub, &value) != 3) return;
  const ObjectDef* d = find(uint16_t(index), uint8_t(sub), nullptr);
  if (!d || !d->writable || index > 0xFFFF || sub > 0xFF) return;
  uint32_t key = obj::key(uint16_t(index), uint8_t(sub));
  if (check(key, value) == 0) values_[key] = value;
}

}  // namespace vsim
