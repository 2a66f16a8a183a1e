#include "serial/NetworkPorts.h"
#include "serial/TextFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "serial/NetLink.h"

namespace NetworkPorts {

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
    std::ifstream in(path, std::ios::binary);
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

int save(const std::string& path, const std::vector<std::string>& addresses)
{
    std::string text;
    size_t n = 0;
    for (const std::string& a : addresses) {
        if (n++ >= MaxEntries)
            break;
        text += a + '\n';
    }
    return replaceTextFile(path, text);
}

} // namespace NetworkPorts
