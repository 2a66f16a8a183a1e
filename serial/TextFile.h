#pragma once
// A small text file of the program's, replaced whole: written aside, then renamed over the old
// one, so a reader never sees half of it. Its folder is made if missing.
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

// 0 on success, else the errno of the failure; the old file stays as it was then.
inline int replaceTextFile(const std::string& path, const std::string& text)
{
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    const std::string temp = path + ".new";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out)
            return errno ? errno : EIO;
        out << text;
        out.flush();
        if (!out) {
            std::remove(temp.c_str());
            return EIO;
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        const int e = errno;
        std::remove(temp.c_str());
        return e;
    }
    return 0;
}
