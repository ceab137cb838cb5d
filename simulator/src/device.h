// The simulated EPOS2 drive: state machine, profile-position motion, limit
// switches, digital outputs, position compare and object dictionary.
//
// Not thread-safe: the caller serialises access.  Every method that depends
// on time takes the present simulated time; advance(now) must be called
// before queries so that events up to `now` (segment ends, pulses, a limit
// switch) are processed in order.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "motion.h"
#include "object_dictionary.h"
#include "trace.h"

namespace vsim {

enum DriveState { kDisabled = 0, kEnabled = 1, kQuickStop = 2, kFault = 3 };

struct CompareSettings {
  int opMode = 1;            // 0 single position, 1 position sequence
  int intervalMode = 2;      // 0 below, 1 above, 2 both sides of the reference
  int direction = 2;         // 0 negative, 1 positive, 2 both directions of travel
  uint16_t width = 0;        // counts between compare positions; 0 emits nothing
  uint16_t repetitions = 0;  // pulses per enable, 0 = unlimited
  uint16_t pulseWidth = 0;   // microseconds (recorded only)
};

class Device {
 public:
  static constexpr int kOutputs = 4;
  // 20000 counts (10 nm) beyond the factory range (about -39968 to +40032):
  // a high-precision move to its short-wavelength end runs 10000 counts past
  // it, to +50032, and stays 9968 counts short of the switch.
  static constexpr int32_t kDefaultNegativeLimit = -60000;
  static constexpr int32_t kDefaultPositiveLimit = 60000;

  explicit Device(Trace& trace);

  // Stored memory: the writable objects and the position counter.
  std::string storedText() const;
  void loadStoredText(const std::string& text);

  void advance(double now);

  // Queries; call advance(now) first.
  double position(double now) const;
  int32_t positionCounts(double now) const;
  bool moving() const { return moving_; }
  double motionEnd() const { return end_; }
  DriveState state() const { return state_; }
  uint16_t digitalInputs(double now) const;
  int16_t current(double now) const;
  int outputLevel(int output) const;

  // Commands; each returns 0 or an error code.
  uint32_t enable(double now);
  uint32_t disable(double now);
  uint32_t quickStop(double now);
  uint32_t clearFault(double now);
  uint32_t moveTo(double now, int32_t target, bool absolute, bool immediately);
  uint32_t setObjects(std::initializer_list<std::pair<uint32_t, uint32_t>> values);
  uint32_t get(uint32_t key) const { return od_.get(key); }
  uint32_t readObject(double now, uint16_t index, uint8_t sub, uint32_t* raw, uint8_t* size) const;
  uint32_t writeObject(double now, uint16_t index, uint8_t sub, uint32_t raw, uint32_t size);
  uint32_t configureOutput(double now, int output, int config, bool state, bool mask, bool polarity);
  uint32_t setCompare(const CompareSettings& settings);
  uint32_t activateCompare(int output, bool polarity);
  uint32_t deactivateCompare(int output);
  uint32_t enableCompare(double now);
  uint32_t disableCompare();

  // Environment (control interface).
  void setPosition(double now, int32_t position);
  void setLimits(double now, int32_t negative, int32_t positive);
  // The motor stops where it is and the drive enters the fault state (as
  // after a following error; the inputs stay as they are).
  void driveFault(double now, const char* why);
  // The drive is disabled from outside (its enable input dropped): the
  // motor stops where it is.
  void externalDisable(double now);

 private:
  Kinematics kinematics() const;
  void setState(double now, DriveState s, const char* why);
  void startMotion(double now, std::vector<Segment> plan, double target);
  void haltAt(double now);
  void cutAtLimits(double now);
  void finishMotion();
  void emitPulses(const Segment& s, double pa, double pb);  // travel from pa to pb
  const Segment* segmentAt(double t) const;

  Trace& trace_;
  ObjectDictionary od_;
  DriveState state_ = kDisabled;

  double pos_ = 0;  // position at rest
  bool moving_ = false;
  std::vector<Segment> plan_;  // the commanded trajectory
  std::vector<Segment> segs_;  // the trajectory as the limit switches allow it
  double target_ = 0;          // end position of plan_
  double end_ = 0;             // end time of segs_
  double finalPos_ = 0;        // end position of segs_
  int faultSide_ = 0;          // -1/+1 when segs_ ends at a limit switch
  double processed_ = 0;       // events up to this time have been handled

  int32_t negLimit_ = kDefaultNegativeLimit;
  int32_t posLimit_ = kDefaultPositiveLimit;

  struct Output {
    int config = 15;
    bool state = false, mask = false, polarity = false;
    int level = 0;
  };
  Output outputs_[kOutputs + 1];

  CompareSettings compare_;
  int compareOutput_ = 0;  // 0 = not assigned to an output
  bool compareEnabled_ = false;
  double compareRef_ = 0;
  int compareEmitted_ = 0;
};

}  // namespace vsim
