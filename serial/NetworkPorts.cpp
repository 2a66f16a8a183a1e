#include "serial/NetworkPorts.h"

#include <algorithm>
#include <sstream>

#include "serial/NetLink.h"

namespace NetworkPorts {

namespace {

// 64 addresses fill a few kilobytes; past the cap only the whole lines before it are read.
const FileRoom::Policy Policy{.maxBytes = 64 * 1024, .oversize = FileRoom::Oversize::WholeLines};

} // namespace

std::string normalise(const std::string& address)
{
    std::string a = address;
    while (!a.empty() && std::isspace(static_cast<unsigned char>(a.back())))
        a.pop_back();
    size_t start = 0;
    while (start < a.size() && std::isspace(static_cast<unsigned char>(a[start])))
        ++start;
    a = a.substr(start);
    const std::optional<net::Address> parsed = net::parseAddress(a);
    if (!parsed)
        return {};
    const bool v6 = parsed->host.find(':') != std::string::npos;
    return std::string(parsed->comPort ? "rfc2217://" : "tcp://") + (v6 ? "[" + parsed->host + "]" : parsed->host)
           + ":" + std::to_string(parsed->port);
}

std::vector<std::string> load(const std::string& path)
{
    std::vector<std::string> out;
    std::string text;
    if (!FileRoom::read(path, Policy, text).ok())
        return out;
    std::istringstream in(text);
    std::string line;
    while (out.size() < MaxEntries && std::getline(in, line)) {
        if (line.size() > 300)
            continue;
        const std::string a = normalise(line);
        if (!a.empty() && std::find(out.begin(), out.end(), a) == out.end())
            out.push_back(a);
    }
    return out;
}

int save(const std::string& path, const std::vector<std::string>& addresses, FileRoom::Outcome* outcome)
{
    std::string text;
    size_t n = 0;
    for (const std::string& a : addresses) {
        if (n++ >= MaxEntries)
            break;
        text += a + '\n';
    }
    const FileRoom::Outcome done = FileRoom::replace(path, text, Policy);
    if (outcome)
        *outcome = done;
    return done.error;
}

} // namespace NetworkPorts
