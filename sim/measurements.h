#pragma once
// The analog side of the generator: antenna voltage and current, supply, power, board
// temperature. Values follow the PWM settings and drift with time and a little noise that
// depends only on the seed and the moment of sampling.
#include <cstdint>

#include "sim/clock.h"

namespace sim {

struct PwmOutput {
    bool active = false;     // output on
    bool regulated = false;  // DC control holds the antenna voltage
    double freq_khz = 125.0;
    double duty = 0.5;  // 0..1
};

struct Sample {
    double volt_peak = 0;  // V
    double amp_peak = 0;   // A
    double supply = 0;     // V
    double amp_avg = 0;    // A
    double power = 0;      // W
    double pcb_temp = 0;   // degrees C
};

class Measurements {
  public:
    Measurements(uint64_t seed, double resonance_khz);

    // Lets the board temperature follow the output up to time t.
    void Advance(Nanos t, const PwmOutput& out);
    Sample Take(Nanos t, const PwmOutput& out);
    double pcb_temp() const { return temp_; }
    // Gain of the antenna circuit at f, 1 at resonance.
    double Gain(double freq_khz) const;
    double resonance_khz() const { return f0_; }
    // Back to room temperature (power cycle after a long pause).
    void Cool(Nanos t);

  private:
    Sample Ideal(const PwmOutput& out) const;

    uint64_t seed_;
    double f0_;
    double temp_ = 25.0;
    Nanos last_ = 0;
};

}  // namespace sim
