// Where the calibration lives: the controller's object-dictionary entries and
// the wavelength model as the motor object holds it.
#pragma once

#include "module/pyutil.h"
#include "wavelength/model_math.h"

namespace vostel {

// 0x200C subindexes 1..3: coefficient words of A, B, C; subindex 4: range word.
constexpr int kCalibrationIndex = 0x200C;
constexpr int kRangeSubindex = 4;
// 0x2081 subindex 0: the stored model position (signed 32-bit).
constexpr int kHomeIndex = 0x2081;
// Every entry moves four bytes.
constexpr int kEntryBytes = 4;

// The coefficients A, B, C as one value.
inline core::Model model_of(py::handle self) {
  return {to_double(self.attr(KEY("_motor__CoeffA"))), to_double(self.attr(KEY("_motor__CoeffB"))),
          to_double(self.attr(KEY("_motor__CoeffC")))};
}

}  // namespace vostel
