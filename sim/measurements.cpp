#include "sim/measurements.h"

#include <algorithm>
#include <cmath>

#include "sim/random.h"

namespace sim {

namespace {
constexpr double kRoomTemp = 25.0;
constexpr double kQuality = 6.0;
constexpr double kFullSwing = 190.0;      // V peak at resonance, 50 % duty
constexpr double kRegulatedVolt = 120.0;  // what DC control holds
constexpr double kAntennaOhm = 80.0;
constexpr double kSupplyNominal = 24.2;
constexpr double kThermalTau = 90.0;  // s
constexpr double kKelvinPerWatt = 1.2;
constexpr double kPi = 3.14159265358979323846;
constexpr Nanos kNoiseSlot = 50 * kMilli;

enum Channel : uint64_t { kVolt = 1, kAmp, kSupply, kAvg, kPower, kTemp };
}  // namespace

Measurements::Measurements(uint64_t seed, double resonance_khz) : seed_(seed), f0_(resonance_khz) {}

double Measurements::Gain(double freq_khz) const {
    if (freq_khz <= 0) return 0;
    double x = freq_khz / f0_;
    double d = kQuality * (x - 1.0 / x);
    return 1.0 / std::sqrt(1.0 + d * d);
}

Sample Measurements::Ideal(const PwmOutput& out) const {
    Sample s;
    s.supply = kSupplyNominal;
    if (!out.active) return s;
    double drive = std::sin(kPi * std::clamp(out.duty, 0.0, 1.0));
    s.volt_peak = kFullSwing * Gain(out.freq_khz) * drive;
    if (out.regulated) s.volt_peak = std::min(s.volt_peak, kRegulatedVolt);
    s.amp_peak = s.volt_peak / kAntennaOhm;
    s.amp_avg = s.amp_peak * 0.2;
    s.power = s.volt_peak * s.amp_avg * 0.12;
    s.supply = kSupplyNominal - 0.15 * (s.power / kSupplyNominal);
    return s;
}

void Measurements::Advance(Nanos t, const PwmOutput& out) {
    if (t <= last_) return;
    double dt = static_cast<double>(t - last_) / static_cast<double>(kSecond);
    double target = kRoomTemp + kKelvinPerWatt * Ideal(out).power;
    temp_ = target + (temp_ - target) * std::exp(-dt / kThermalTau);
    last_ = t;
}

void Measurements::Cool(Nanos t) {
    temp_ = kRoomTemp;
    last_ = t;
}

Sample Measurements::Take(Nanos t, const PwmOutput& out) {
    Advance(t, out);
    Sample s = Ideal(out);
    const uint64_t slot = static_cast<uint64_t>(t / kNoiseSlot);
    auto wobble = [&](double v, Channel c, double rel) {
        return v * (1.0 + rel * Noise(seed_, c, slot));
    };
    s.volt_peak = wobble(s.volt_peak, kVolt, 0.006);
    s.amp_peak = wobble(s.amp_peak, kAmp, 0.008);
    s.amp_avg = wobble(s.amp_avg, kAvg, 0.01);
    s.power = wobble(s.power, kPower, 0.01);
    s.supply += 0.04 * Noise(seed_, kSupply, slot);
    s.pcb_temp = temp_ + 0.15 * Noise(seed_, kTemp, slot);
    return s;
}

}  // namespace sim
