#include "sim/Options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace sim {

namespace {

double number(const std::string& text, const std::string& option)
{
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || errno != 0 || !std::isfinite(v))
        throw OptionError(option + ": '" + text + "' is not a number");
    return v;
}

long integer(const std::string& text, const std::string& option, long min, long max)
{
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || end != text.c_str() + text.size() || errno != 0)
        throw OptionError(option + ": '" + text + "' is not a whole number");
    if (v < min || v > max)
        throw OptionError(option + ": " + text + " is outside " + std::to_string(min) + " to " + std::to_string(max));
    return v;
}

std::vector<std::string> split(const std::string& text, char sep)
{
    std::vector<std::string> parts;
    size_t from = 0;
    for (;;) {
        const size_t at = text.find(sep, from);
        parts.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos)
            return parts;
        from = at + 1;
    }
}

int clockNumber(const std::string& text, const std::string& option)
{
    return static_cast<int>(integer(text, option, 1, 4));
}

int hundredths(const std::string& text, const std::string& option)
{
    const double v = number(text, option);
    if (v < 0 || v > 99.99)
        throw OptionError(option + ": " + text + " V is outside 0 to 99.99 V");
    return static_cast<int>(std::lround(v * 100));
}

double share(const std::string& text, const std::string& option)
{
    std::string t = text;
    double scale = 1;
    if (!t.empty() && t.back() == '%') {
        t.pop_back();
        scale = 100;
    }
    const double v = number(t, option) / scale;
    if (v < 0 || v > 1)
        throw OptionError(option + ": " + text + " is not a share from 0 to 1 (or 0% to 100%)");
    return v;
}

Micros millis(const std::string& text, const std::string& option, double max)
{
    const double v = number(text, option);
    if (v < 0 || v > max)
        throw OptionError(option + ": " + text + " is outside 0 to " + std::to_string(static_cast<long>(max)));
    return static_cast<Micros>(std::llround(v * 1000));
}

} // namespace

std::string usageText()
{
    return R"(Usage: kadrel-sim [OPTION]...
Plays up to four RS485 display clocks on a pseudo-terminal and publishes it as the
virtual port NAME in $XDG_RUNTIME_DIR/kadrel/ports (or /tmp/kadrel-UID/ports), where
kadrel lists it first. Stops on SIGINT or SIGTERM and removes the port again.

Bus:
  --name NAME            name of the virtual port (default SIM1); a second simulator
                         with the same name refuses to start
  --clocks LIST          clocks on the bus, e.g. 1,3 (default 1,2,3,4)
  --volts V | N:V,...    supply voltage of every clock, or of single clocks, in volts
                         (default 12.0), e.g. --volts 12 or --volts 1:12.5,3:9.8
  --no-noise             report the voltage exactly (default: +-0.05 V of noise)
  --seed N               seed of the noise and fault choices (default: from the time)
  --boot-timeout S       seconds without a frame after which a clock's boot loader
                         gives up and the clock runs normally again (default 10)

Faults (shares are 0 to 1, or a percentage such as 25%):
  --drop P               leave this share of replies and acknowledgements unsent
  --corrupt P            send this share of status replies with checksum + 1
  --split P              write this share of status replies in 2 or 3 pieces, 2 ms apart
  --garbage P            put 1 to 4 bytes other than "Z" in front of this share of replies
  --delay MS             answer MS milliseconds later than the usual 3 ms
  --withhold-ack N[,M]   do not acknowledge firmware block N (0 = first block) the first
                         time; a number given twice is withheld twice
  --echo                 send every received byte straight back, as a two-wire adapter that
                         hears its own transmission does
  --wire-time            write byte by byte at 19200 bit/s (10 bits, ~0.52 ms a byte)
  --mute-after N:S,...   clock N stops answering S seconds after the start
  --mute-on-signal LIST  SIGUSR1 stops these clocks answering, SIGUSR2 lets them answer again

Output:
  --log FILE             timestamped hex log of every frame in both directions, with its meaning
  --report FILE          machine-readable lines: one per firmware update ("boot clock=1
                         status=complete blocks=2 size=128 xor=3C ... data=HEX") and
                         per address change ("address clock=3 from=3 to=1")
  --quiet                no console output except errors
  --help                 show this text and exit

On a terminal the console shows one line per clock (address, mode, time, brightness,
display, voltage), redrawn in place; otherwise it prints only events.
)";
}

SimOptions parseOptions(const std::vector<std::string>& args)
{
    SimOptions o;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string opt = args[i];
        std::optional<std::string> inlineValue;
        if (const size_t eq = opt.find('='); opt.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = opt.substr(eq + 1);
            opt = opt.substr(0, eq);
        }
        const auto value = [&]() -> std::string {
            if (inlineValue)
                return *inlineValue;
            if (i + 1 >= args.size())
                throw OptionError(opt + " needs a value");
            return args[++i];
        };
        const auto flag = [&] {
            if (inlineValue)
                throw OptionError(opt + " takes no value");
        };

        if (opt == "--help" || opt == "-h") {
            flag();
            o.help = true;
        } else if (opt == "--name") {
            o.name = value();
            if (o.name.empty() || o.name == "." || o.name == ".." || o.name.find('/') != std::string::npos ||
                o.name[0] == '.' || o.name.size() > 64)
                throw OptionError("--name: '" + o.name + "' is not a usable port name (no '/', no leading '.', at most 64 characters)");
        } else if (opt == "--clocks") {
            o.clocks.clear();
            for (const std::string& part : split(value(), ',')) {
                const int n = clockNumber(part, opt);
                if (std::find(o.clocks.begin(), o.clocks.end(), n) != o.clocks.end())
                    throw OptionError("--clocks: clock " + part + " is given twice");
                o.clocks.push_back(n);
            }
        } else if (opt == "--volts") {
            const std::string v = value();
            if (v.find(':') == std::string::npos) {
                o.defaultHundredths = hundredths(v, opt);
            } else {
                for (const std::string& part : split(v, ',')) {
                    const size_t colon = part.find(':');
                    if (colon == std::string::npos)
                        throw OptionError("--volts: '" + part + "' is not CLOCK:VOLTS");
                    o.clockHundredths[clockNumber(part.substr(0, colon), opt)] = hundredths(part.substr(colon + 1), opt);
                }
            }
        } else if (opt == "--no-noise") {
            flag();
            o.noise = false;
        } else if (opt == "--seed") {
            o.seed = static_cast<uint32_t>(integer(value(), opt, 0, 4294967295L));
        } else if (opt == "--boot-timeout") {
            o.bootTimeout = millis(value(), opt, 3600) * 1000;
        } else if (opt == "--drop") {
            o.faults.dropShare = share(value(), opt);
        } else if (opt == "--corrupt") {
            o.faults.corruptShare = share(value(), opt);
        } else if (opt == "--split") {
            o.faults.splitShare = share(value(), opt);
        } else if (opt == "--garbage") {
            o.faults.garbageShare = share(value(), opt);
        } else if (opt == "--delay") {
            o.faults.extraDelay = millis(value(), opt, 10000);
        } else if (opt == "--withhold-ack") {
            for (const std::string& part : split(value(), ','))
                o.faults.withheldAcks.push_back(static_cast<int>(integer(part, opt, 0, 100000)));
        } else if (opt == "--echo") {
            flag();
            o.faults.echo = true;
        } else if (opt == "--wire-time") {
            flag();
            o.faults.wireTime = true;
        } else if (opt == "--mute-after") {
            for (const std::string& part : split(value(), ',')) {
                const size_t colon = part.find(':');
                if (colon == std::string::npos)
                    throw OptionError("--mute-after: '" + part + "' is not CLOCK:SECONDS");
                o.muteAfter[clockNumber(part.substr(0, colon), opt)] = millis(part.substr(colon + 1), opt, 1e6) * 1000;
            }
        } else if (opt == "--mute-on-signal") {
            o.muteOnSignal.clear();
            for (const std::string& part : split(value(), ','))
                o.muteOnSignal.push_back(clockNumber(part, opt));
        } else if (opt == "--log") {
            o.logFile = value();
            if (o.logFile.empty())
                throw OptionError("--log needs a file name");
        } else if (opt == "--report") {
            o.reportFile = value();
            if (o.reportFile.empty())
                throw OptionError("--report needs a file name");
        } else if (opt == "--quiet" || opt == "-q") {
            flag();
            o.quiet = true;
        } else {
            throw OptionError("unknown option '" + args[i] + "'");
        }
    }
    const auto onBus = [&](int n, const char* option) {
        if (std::find(o.clocks.begin(), o.clocks.end(), n) == o.clocks.end())
            throw OptionError(std::string(option) + ": clock " + std::to_string(n) + " is not on the bus (see --clocks)");
    };
    for (const auto& [n, v] : o.clockHundredths)
        onBus(n, "--volts");
    for (const auto& [n, t] : o.muteAfter)
        onBus(n, "--mute-after");
    for (int n : o.muteOnSignal)
        onBus(n, "--mute-on-signal");
    return o;
}

BusOptions busOptions(const SimOptions& options, uint32_t seed, int timeOfDayAtZero)
{
    BusOptions b;
    for (int id : options.clocks) {
        ClockSetup c;
        c.id = id;
        const auto v = options.clockHundredths.find(id);
        c.hundredths = v != options.clockHundredths.end() ? v->second : options.defaultHundredths;
        if (const auto m = options.muteAfter.find(id); m != options.muteAfter.end())
            c.muteAfter = m->second;
        b.clocks.push_back(c);
    }
    b.noiseHundredths = options.noise ? 5 : 0;
    b.seed = seed;
    b.faults = options.faults;
    b.timeOfDayAtZero = timeOfDayAtZero;
    b.bootTimeout = options.bootTimeout;
    return b;
}

} // namespace sim
