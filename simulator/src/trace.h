// Record of what the simulated controller received and did, for tests and
// demos: commands, digital-output levels, position-compare pulses, position
// samples and drive events.  Each list keeps its newest entries only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

namespace vsim {

class Trace {
 public:
  static constexpr size_t kCapacity = 100000;  // entries per list

  // Starts a command record and returns its id for finishCommand.
  uint64_t command(double t, const char* name, std::string args);
  void finishCommand(uint64_t id, uint32_t error);
  void output(double t, int output, int level);
  void pulse(double t, double position);
  void position(double t, double position);
  void event(double t, std::string text);

  void clear();
  int pulseCount() const { return pulseCount_; }
  int commandCount(const std::string& name) const;
  std::string json(double now) const;

 private:
  struct Command {
    double t;
    std::string name, args;
    uint32_t error;
  };
  struct Sample {
    double t;
    double value;
    int output;
  };
  struct Event {
    double t;
    std::string text;
  };
  template <class T>
  bool append(std::deque<T>& list, T item);

  std::deque<Command> commands_;
  uint64_t firstCommandId_ = 0;
  std::deque<Sample> outputs_, pulses_, positions_;
  std::deque<Event> events_;
  std::map<std::string, int> commandCounts_;
  int pulseCount_ = 0;
  uint64_t dropped_ = 0;
};

}  // namespace vsim
