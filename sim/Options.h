#pragma once
// Command line of kadrel-sim. Parsing throws OptionError with a message for the user; --help
// is a flag the caller acts on.
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/Bus.h"

namespace sim {

class OptionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct SimOptions {
    std::string name = "SIM1";
    std::vector<int> clocks{1, 2, 3, 4};
    int defaultHundredths = 1200;
    std::map<int, int> clockHundredths;   // --volts N:V
    bool noise = true;
    std::optional<uint32_t> seed;
    FaultOptions faults;
    std::map<int, Micros> muteAfter;      // clock -> time after start
    std::vector<int> muteOnSignal;        // clocks SIGUSR1 mutes and SIGUSR2 unmutes
    Micros bootTimeout = 10 * kSecond;
    std::string logFile;
    std::string reportFile;
    bool quiet = false;
    bool help = false;
};

SimOptions parseOptions(const std::vector<std::string>& args);
std::string usageText();
// The bus set-up the options describe, with the clocks' time of day at time 0.
BusOptions busOptions(const SimOptions& options, uint32_t seed, int timeOfDayAtZero);

} // namespace sim
