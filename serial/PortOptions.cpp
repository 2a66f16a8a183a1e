#include "serial/PortOptions.h"
#include "serial/TextFile.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace PortOptionsFile {

PortOptions load(const std::string& path)
{
    PortOptions o;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    // A file of a few lines; a huge one is not ours and reads as far as it makes sense.
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

int save(const std::string& path, const PortOptions& options)
{
    return replaceTextFile(path, std::string("echo=") + (options.dropEcho ? "1" : "0") + "\nrs485=" +
                                     (options.kernelRs485 ? "1" : "0") + "\n");
}

} // namespace PortOptionsFile
