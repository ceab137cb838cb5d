#include "device.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "../epos_sim.h"

namespace vsim {

namespace {

int sign(double x) { return (x > 0) - (x < 0); }

const char* stateName(DriveState s) {
    switch (s) {
        case kDisabled: return "disabled";
        case kEnabled: return "enabled";
        case kQuickStop: return "quick stop";
        case kFault: return "fault";
    }
    return "?";
}

}  // namespace

Device::Device(Trace& trace) : trace_(trace) {}

// ---- stored memory ----------------------------------------------------------

std::string Device::storedText() const {
    std::ostringstream out;
    out << "# Simulated EPOS2 controller memory (written by VCS_Store)\n";
    out << "position " << std::lround(pos_) << "\n";
    out << od_.serialize();
    return out.str();
}

void Device::loadStoredText(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        long long p = 0;
        if (std::sscanf(line.c_str(), " position %lld", &p) == 1) {
            pos_ = double(std::clamp<long long>(p, INT32_MIN, INT32_MAX));
        } else {
            od_.deserializeLine(line);
        }
    }
}

// ---- time ------------------------------------------------------------------

const Segment* Device::segmentAt(double t) const {
    for (const auto& s : segs_)
        if (t <= s.t1()) return &s;
    return nullptr;
}

void Device::advance(double now) {
    if (!moving_ || now <= processed_) return;
    for (const auto& s : segs_) {
        double ta = std::max(s.t0, processed_);
        double tb = std::min(s.t1(), now);
        // The end of the motion counts as exactly its final position.
        if (tb > ta) emitPulses(s, s.posAt(ta), tb >= end_ ? finalPos_ : s.posAt(tb));
        if (s.t1() > processed_ && s.t1() <= now) trace_.position(s.t1(), s.p1());
    }
    processed_ = now;
    if (now >= end_) finishMotion();
}

void Device::finishMotion() {
    moving_ = false;
    pos_ = finalPos_;
    trace_.position(end_, pos_);
    if (faultSide_ != 0) {
        trace_.event(end_, faultSide_ < 0 ? "negative limit switch reached" : "positive limit switch reached");
        setState(end_, kFault, "limit switch");
    }
    plan_.clear();
    segs_.clear();
    faultSide_ = 0;
}

double Device::position(double now) const {
    if (!moving_) return pos_;
    const Segment* s = segmentAt(now);
    return s ? s->posAt(now) : finalPos_;
}

int32_t Device::positionCounts(double now) const { return int32_t(std::lround(position(now))); }

// ---- motion ------------------------------------------------------------------

Kinematics Device::kinematics() const {
    double countsPerRev = 4.0 * od_.get(obj::kEncoderPulses);
    double maxAcc = od_.get(obj::kMaxAcceleration);
    double v = std::min<double>(od_.get(obj::kProfileVelocity), od_.get(obj::kMaxProfileVelocity));
    double a = std::min<double>(od_.get(obj::kProfileAcceleration), maxAcc);
    double d = std::min<double>(od_.get(obj::kProfileDeceleration), maxAcc);
    double scale = countsPerRev / 60.0;  // rpm -> counts/s
    return {v * scale, a * scale, d * scale};
}

void Device::startMotion(double now, std::vector<Segment> plan, double target) {
    plan_ = std::move(plan);
    target_ = target;
    processed_ = now;
    if (plan_.empty()) {
        // Nothing to travel; still settle in this very instant so that a
        // move into a pressed switch is caught below.
        plan_.push_back(Segment{now, 0, target, 0, 0});
    }
    moving_ = true;
    cutAtLimits(now);
    advance(now);
    if (moving_ && end_ <= now) finishMotion();
}

void Device::cutAtLimits(double now) {
    segs_ = plan_;
    end_ = segs_.back().t1();
    finalPos_ = target_;
    faultSide_ = 0;
    for (size_t i = 0; i < segs_.size(); ++i) {
        Segment& s = segs_[i];
        if (s.t1() < now) continue;
        double ta = std::max(s.t0, now);
        double pa = s.posAt(ta);
        int dir = s.direction();
        if (dir == 0) dir = sign(target_ - pa);
        int side = 0;
        double stopPos = 0;
        if (dir < 0 && std::min(pa, s.p1()) <= negLimit_) {
            side = -1;
            stopPos = std::min<double>(pa, negLimit_);
        } else if (dir > 0 && std::max(pa, s.p1()) >= posLimit_) {
            side = 1;
            stopPos = std::max<double>(pa, posLimit_);
        }
        if (side == 0) continue;
        double tc = stopPos == pa ? ta : s.timeOfPosition(stopPos);
        s.dur = tc - s.t0;
        segs_.resize(i + 1);
        end_ = tc;
        finalPos_ = stopPos;
        faultSide_ = side;
        return;
    }
}

void Device::haltAt(double now) {
    advance(now);
    if (!moving_) return;
    pos_ = position(now);
    moving_ = false;
    plan_.clear();
    segs_.clear();
    faultSide_ = 0;
    trace_.position(now, pos_);
}

uint32_t Device::moveTo(double now, int32_t target, bool absolute, bool immediately) {
    if (state_ == kFault) return EPOS_SIM_ERR_FAULT_STATE;
    if (state_ != kEnabled) return EPOS_SIM_ERR_NOT_ENABLED;
    Kinematics k = kinematics();
    if (moving_ && !immediately) {
        // Queued: starts from the present target once it is reached.
        double goal = absolute ? double(target) : target_ + target;
        std::vector<Segment> plan = plan_;
        auto more = planMove(plan.back().t1(), target_, 0, goal, k);
        plan.insert(plan.end(), more.begin(), more.end());
        startMotion(now, std::move(plan), goal);
        return 0;
    }
    double p = position(now);
    double v = 0;
    if (moving_) {
        const Segment* s = segmentAt(now);
        v = s ? s->velAt(now) : 0;
    }
    double base = moving_ ? target_ : std::round(p);
    double goal = absolute ? double(target) : base + target;
    goal = std::clamp<double>(goal, INT32_MIN, INT32_MAX);
    startMotion(now, planMove(now, p, v, goal, k), goal);
    return 0;
}

// ---- state machine -----------------------------------------------------------

void Device::setState(double now, DriveState s, const char* why) {
    if (s == state_) return;
    trace_.event(now, std::string(stateName(state_)) + " -> " + stateName(s) + " (" + why + ")");
    state_ = s;
}

uint32_t Device::enable(double now) {
    if (state_ == kFault) return EPOS_SIM_ERR_FAULT_STATE;
    setState(now, kEnabled, "VCS_SetEnableState");
    return 0;
}

uint32_t Device::disable(double now) {
    if (state_ == kFault) return EPOS_SIM_ERR_FAULT_STATE;
    haltAt(now);  // power stage off: the motor stops where it is
    setState(now, kDisabled, "VCS_SetDisableState");
    return 0;
}

void Device::driveFault(double now, const char* why) {
    haltAt(now);
    setState(now, kFault, why);
}

void Device::externalDisable(double now) {
    haltAt(now);
    setState(now, kDisabled, "enable input off");
}

uint32_t Device::quickStop(double now) {
    if (state_ == kFault) return EPOS_SIM_ERR_FAULT_STATE;
    if (state_ == kDisabled) return EPOS_SIM_ERR_NOT_ENABLED;
    setState(now, kQuickStop, "VCS_SetQuickStopState");
    if (moving_) {
        const Segment* s = segmentAt(now);
        double v = s ? s->velAt(now) : 0;
        double p = position(now);
        auto plan = planStop(now, p, v, double(od_.get(obj::kQuickStopDeceleration)) * 4.0 *
                                            od_.get(obj::kEncoderPulses) / 60.0);
        double stopAt = plan.empty() ? p : plan.back().p1();
        startMotion(now, std::move(plan), stopAt);
    }
    return 0;
}

uint32_t Device::clearFault(double now) {
    if (state_ == kFault) setState(now, kDisabled, "VCS_ClearFault");
    return 0;
}

// ---- signals -----------------------------------------------------------------

uint16_t Device::digitalInputs(double now) const {
    double p = position(now);
    uint16_t word = 0;
    if (p <= negLimit_) word |= 1;
    if (p >= posLimit_) word |= 2;
    return word;
}

int16_t Device::current(double now) const {
    if (!moving_ || state_ == kDisabled || state_ == kFault) return 0;
    const Segment* s = segmentAt(now);
    if (!s) return 0;
    int dir = s->direction();
    if (dir == 0) return 0;
    double rpmPerCount = 60.0 / (4.0 * od_.get(obj::kEncoderPulses));
    double speed = std::fabs(s->velAt(now)) * rpmPerCount;  // rpm
    double accel = dir * s->a * rpmPerCount;                // rpm/s along the motion
    // Friction, a speed-proportional load and the torque to accelerate.
    double magnitude = 40.0 + 0.03 * speed + 0.06 * accel;
    double limit = od_.get(obj::kMaxOutputCurrent);
    magnitude = std::clamp(magnitude, 5.0, limit);
    return int16_t(dir * std::lround(magnitude));
}

int Device::outputLevel(int output) const {
    if (output < 1 || output > kOutputs) return -1;
    return outputs_[output].level;
}

uint32_t Device::configureOutput(double now, int output, int config, bool state, bool mask, bool polarity) {
    if (output < 1 || output > kOutputs || config < 0 || config > 15) return EPOS_SIM_ERR_RANGE;
    Output& o = outputs_[output];
    o.config = config;
    o.state = state;
    o.mask = mask;
    o.polarity = polarity;
    int level = (mask && state) != polarity;
    if (level != o.level) trace_.output(now, output, level);
    o.level = level;
    return 0;
}

// ---- position compare --------------------------------------------------------

uint32_t Device::setCompare(const CompareSettings& c) {
    if (c.opMode > 1 || c.intervalMode > 2 || c.direction > 2) return EPOS_SIM_ERR_RANGE;
    compare_ = c;
    return 0;
}

uint32_t Device::activateCompare(int output, bool) {
    if (output < 1 || output > kOutputs) return EPOS_SIM_ERR_RANGE;
    compareOutput_ = output;
    return 0;
}

uint32_t Device::deactivateCompare(int output) {
    if (output < 1 || output > kOutputs) return EPOS_SIM_ERR_RANGE;
    if (compareOutput_ == output) compareOutput_ = 0;
    return 0;
}

uint32_t Device::enableCompare(double now) {
    compareEnabled_ = true;
    compareRef_ = std::round(position(now));
    compareEmitted_ = 0;
    return 0;
}

uint32_t Device::disableCompare() {
    compareEnabled_ = false;
    return 0;
}

void Device::emitPulses(const Segment& s, double pa, double pb) {
    if (!compareEnabled_ || compareOutput_ == 0 || compare_.width == 0) return;
    int dir = s.direction();
    if (dir == 0) return;
    if ((compare_.direction == 0 && dir > 0) || (compare_.direction == 1 && dir < 0)) return;
    const double w = compare_.width;
    // Compare positions ref + k*w strictly after pa, up to and including pb.
    double kFirst, kLast;
    if (dir > 0) {
        kFirst = std::floor((pa - compareRef_) / w) + 1;
        kLast = std::floor((pb - compareRef_) / w);
    } else {
        kFirst = std::ceil((pa - compareRef_) / w) - 1;
        kLast = std::ceil((pb - compareRef_) / w);
    }
    int limit = compare_.opMode == 0 ? 1 : compare_.repetitions;
    for (double k = kFirst; dir > 0 ? k <= kLast : k >= kLast; k += dir) {
        if ((compare_.intervalMode == 0 && k > 0) || (compare_.intervalMode == 1 && k < 0)) continue;
        if (limit > 0 && compareEmitted_ >= limit) return;
        double x = compareRef_ + k * w;
        trace_.pulse(s.timeOfPosition(x), x);
        ++compareEmitted_;
    }
}

// ---- object dictionary ---------------------------------------------------------

uint32_t Device::setObjects(std::initializer_list<std::pair<uint32_t, uint32_t>> values) {
    for (const auto& [key, raw] : values)
        if (uint32_t err = ObjectDictionary::check(key, raw)) return err;
    for (const auto& [key, raw] : values) od_.set(key, raw);
    return 0;
}

uint32_t Device::readObject(double now, uint16_t index, uint8_t sub, uint32_t* raw, uint8_t* size) const {
    uint32_t err = 0;
    const ObjectDef* d = ObjectDictionary::find(index, sub, &err);
    if (!d) return err;
    *size = d->size;
    switch (obj::key(index, sub)) {
        case obj::kPositionActual: *raw = uint32_t(positionCounts(now)); break;
        case obj::kDigitalInputs: *raw = digitalInputs(now); break;
        case obj::kStatusword: {
            static const uint32_t base[] = {0x0140, 0x0137, 0x0117, 0x0108};
            *raw = base[state_] | (moving_ ? 0 : 0x0400);
            break;
        }
        default: *raw = od_.get(obj::key(index, sub));
    }
    return 0;
}

uint32_t Device::writeObject(double, uint16_t index, uint8_t sub, uint32_t raw, uint32_t size) {
    uint32_t err = 0;
    const ObjectDef* d = ObjectDictionary::find(index, sub, &err);
    if (!d) return err;
    if (!d->writable) return EPOS_SIM_ERR_READ_ONLY;
    if (size != d->size) return EPOS_SIM_ERR_LENGTH;
    return setObjects({{obj::key(index, sub), raw}});
}

// ---- environment ---------------------------------------------------------------

void Device::setPosition(double now, int32_t position) {
    haltAt(now);
    pos_ = position;
    trace_.position(now, pos_);
}

void Device::setLimits(double now, int32_t negative, int32_t positive) {
    advance(now);
    negLimit_ = negative;
    posLimit_ = positive;
    if (moving_) {
        cutAtLimits(now);
        if (end_ <= now) finishMotion();
    }
}

}  // namespace vsim
