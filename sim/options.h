#pragma once
// The command line of lumrax-sim, turned into a scenario.
#include <string>
#include <vector>

#include "sim/scenario.h"

namespace sim {

struct SimOptions {
    Scenario scenario;
    std::string link;        // path to link to the pty's slave (e.g. a Wine dosdevices/com15)
    std::string flash_file;  // raw image loaded at address 0
    bool trace = false;
    bool help = false;
    bool version = false;
};

// False with a message for an unknown option or a bad value.
bool ParseOptions(const std::vector<std::string>& args, SimOptions& out, std::string& error);
const char* UsageText();

}  // namespace sim
