#include "trace.h"

#include <cmath>
#include <cstdio>

namespace vsim {

template <class T>
bool Trace::append(std::deque<T>& list, T item) {
  bool full = list.size() >= kCapacity;
  if (full) {
    list.pop_front();
    ++dropped_;
  }
  list.push_back(std::move(item));
  return full;
}

uint64_t Trace::command(double t, const char* name, std::string args) {
  ++commandCounts_[name];
  if (append(commands_, Command{t, name, std::move(args), 0})) ++firstCommandId_;
  return firstCommandId_ + commands_.size() - 1;
}

void Trace::finishCommand(uint64_t id, uint32_t error) {
  if (id >= firstCommandId_ && id - firstCommandId_ < commands_.size()) commands_[id - firstCommandId_].error = error;
}

void Trace::output(double t, int output, int level) { append(outputs_, Sample{t, double(level), output}); }

void Trace::pulse(double t, double position) {
  ++pulseCount_;
  append(pulses_, Sample{t, position, 0});
}

void Trace::position(double t, double position) {
  auto rounded = std::round(position);
  if (!positions_.empty() && positions_.back().t == t && positions_.back().value == rounded) return;
  append(positions_, Sample{t, rounded, 0});
}

void Trace::event(double t, std::string text) { append(events_, Event{t, std::move(text)}); }

void Trace::clear() {
  firstCommandId_ += commands_.size();
  commands_.clear();
  outputs_.clear();
  pulses_.clear();
  positions_.clear();
  events_.clear();
  commandCounts_.clear();
  pulseCount_ = 0;
  dropped_ = 0;
}

int Trace::commandCount(const std::string& name) const {
  auto it = commandCounts_.find(name);
  return it == commandCounts_.end() ? 0 : it->second;
}

namespace {

std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

std::string number(double v, const char* fmt = "%.6f") {
  char buf[40];
  std::snprintf(buf, sizeof buf, fmt, v);
  return buf;
}

// Writes `"name": [item, item, ...]` using fn to format each item.
template <class List, class Fn>
void jsonArray(std::string& out, const char* name, const List& list, Fn fn) {
  out += "\"";
  out += name;
  out += "\": [";
  bool first = true;
  for (const auto& item : list) {
    if (!first) out += ", ";
    first = false;
    out += "{" + fn(item) + "}";
  }
  out += "],\n";
}

}  // namespace

std::string Trace::json(double now) const {
  std::string out = "{\"time\": " + number(now) + ",\n";
  jsonArray(out, "commands", commands_, [](const Command& c) {
    return "\"t\": " + number(c.t) + ", \"name\": " + quoted(c.name) + ", \"args\": " + quoted(c.args) +
           ", \"ok\": " + (c.error ? "false" : "true") + ", \"error\": " + std::to_string(c.error);
  });
  jsonArray(out, "outputs", outputs_, [](const Sample& s) {
    return "\"t\": " + number(s.t) + ", \"output\": " + std::to_string(s.output) +
           ", \"level\": " + number(s.value, "%.0f");
  });
  jsonArray(out, "pulses", pulses_,
            [](const Sample& s) { return "\"t\": " + number(s.t) + ", \"position\": " + number(s.value, "%.0f"); });
  jsonArray(out, "positions", positions_,
            [](const Sample& s) { return "\"t\": " + number(s.t) + ", \"position\": " + number(s.value, "%.0f"); });
  jsonArray(out, "events", events_,
            [](const Event& e) { return "\"t\": " + number(e.t) + ", \"event\": " + quoted(e.text); });
  out += "\"dropped\": " + std::to_string(dropped_) + "}\n";
  return out;
}

}  // namespace vsim
