#pragma once
// The generator's application firmware: a line interpreter for "cr REG" and "cw REGVALUE"
// commands that steers the PWM output and reports settings and measurements.
#include <cstdint>
#include <string>
#include <string_view>

#include "sim/flash.h"
#include "sim/measurements.h"
#include "sim/reply.h"
#include "sim/scenario.h"

namespace sim {

// What the EEPROM holds and the PWM runs with.
struct PwmSettings {
    uint16_t top = 128;  // timer period in clocks of 16 MHz: f = 16000 / top kHz
    uint16_t duty_permille = 500;
    uint16_t fmax_khz = 250;
    uint16_t fmin_khz = 100;
    double vmin = 24.0;           // V; auto search needs at least this supply
    uint8_t search_always = 0;    // 0xA5: search at every power-up
    int16_t temp_threshold = 75;  // degrees C; the output is switched off above
    bool operator==(const PwmSettings& o) const;
};

constexpr double kTimerClockKhz = 16000.0;
// Wording of the identification, as the device prints it.
constexpr const char* kHardwareText = "Lum_Rax, HW Rev 3, 16MHz";
constexpr const char* kFirmwareText = "Lum_Rax_Gen FW V2.07";
// The EEPROM write enable password (the program sends it and one more character).
constexpr const char* kEepromPassword = "KTZ73";

class Application {
  public:
    Application(const Scenario& s, Flash& flash);

    // Reset: settings from the EEPROM, output on, write enable and offline edit off.
    void PowerUp(Nanos t);
    // One received byte; a CR ends a command.
    void Feed(Nanos t, uint8_t b, Outcome& out);

    const PwmSettings& live() const { return live_; }
    const PwmSettings& eeprom() const { return eeprom_; }
    bool pwm_active() const { return pwm_active_; }
    bool ctl_active() const { return ctl_active_; }
    bool write_enabled() const { return write_enabled_; }
    bool offline_edit() const { return offline_edit_; }
    bool alarm() const { return alarm_; }
    bool searching(Nanos t) const { return t < busy_until_; }
    double FrequencyKhz() const { return kTimerClockKhz / live_.top; }
    double DutyPercent() const { return live_.duty_permille / 10.0; }
    Measurements& measurements() { return meas_; }
    // The optimum of the auto search within the current limits.
    uint16_t BestTop() const;

  private:
    void Command(Nanos t, std::string_view line, Outcome& out);
    Reply Read(Nanos t, std::string_view reg);
    void Write(Nanos t, std::string_view text, Outcome& out);
    Reply StreamFlash(std::string_view args);
    PwmOutput Output() const;
    void Observe(Nanos t);  // temperature and its alarm up to t
    uint16_t TopMin() const;
    uint16_t TopMax() const;
    void ClampTop();

    const Scenario& scenario_;
    Flash& flash_;
    Measurements meas_;
    PwmSettings eeprom_;
    PwmSettings live_;
    bool pwm_active_ = true;
    bool ctl_active_ = false;
    bool write_enabled_ = false;
    bool offline_edit_ = false;
    bool alarm_ = false;
    Nanos busy_until_ = 0;
    std::string line_;
    bool overlong_ = false;
};

}  // namespace sim
