#include "serial/PortOptions.h"

#include <sstream>

namespace PortOptionsFile {

namespace {

// A file of a few lines; a huge one is not ours and reads as far as it makes sense.
const FileRoom::Policy Policy{.maxBytes = 64 * 1024, .oversize = FileRoom::Oversize::WholeLines};

} // namespace

PortOptions load(const std::string& path)
{
    PortOptions o;
    std::string text;
    if (!FileRoom::read(path, Policy, text).ok())
        return o;
    std::istringstream in(text);
    std::string line;
    for (int n = 0; n < 100 && std::getline(in, line); ++n) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string name = line.substr(0, eq), value = line.substr(eq + 1);
        if (value != "0" && value != "1")
            continue;
        if (name == "echo")
            o.dropEcho = value == "1";
        else if (name == "rs485")
            o.kernelRs485 = value == "1";
    }
    return o;
}

int save(const std::string& path, const PortOptions& options, FileRoom::Outcome* outcome)
{
    const std::string text = std::string("echo=") + (options.dropEcho ? "1" : "0") + "\nrs485=" +
                             (options.kernelRs485 ? "1" : "0") + "\n";
    const FileRoom::Outcome done = FileRoom::replace(path, text, Policy);
    if (outcome)
        *outcome = done;
    return done.error;
}

} // namespace PortOptionsFile
