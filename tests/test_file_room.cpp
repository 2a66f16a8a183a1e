// needs: qt
// The rules every file of the program's own keeps, run against each of them through its own
// load and save: the settings, the port identity, the network ports, the port options and the
// remote settings. A failed save names the file and leaves the old content whole.
#include <gtest/gtest.h>

#include <QFile>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "files/DataFile.h"
#include "files/FileRoom.h"
#include "base/Exceptions.h"
#include "remote/RemoteSettings.h"
#include "serial/NetworkPorts.h"
#include "serial/PortIdentity.h"
#include "serial/PortOptions.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// One file as the program uses it: save(path, 'A' or 'B') gives the failure's message or "";
// load(path) tells which of the two it reads back, or "" for nothing (the defaults).
struct Subject {
    const char* name;
    bool followsLinks;
    mode_t ownerOnlyMode;   // 0: the umask decides a new file's mode
    std::function<std::string(const std::string&, char)> save;
    std::function<std::string(const std::string&)> load;
};

QString qpath(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

const QByteArray& token(char which)
{
    static const QByteArray a = newAccessToken(), b = newAccessToken();
    return which == 'A' ? a : b;
}

std::vector<Subject> subjects()
{
    auto image = [](char which) { return std::string("zcf") + std::string(40, which) + "!"; };
    return {
        {"z.cf", true, 0,
         [image](const std::string& path, char which) {
             const std::string bytes = image(which);
             try {
                 WriteBlock(path, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
             } catch (const EInOutError& e) {
                 return e.Message();
             }
             return std::string();
         },
         [image](const std::string& path) -> std::string {
             TDataFile f;
             f.Assign(path);
             try {
                 f.Reset();
             } catch (const EInOutError&) {
                 return std::string();
             }
             std::string bytes(static_cast<size_t>(f.FileSize()), '\0');
             f.ReadBlock(reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
             f.Close();
             return bytes == image('A') ? "A" : bytes == image('B') ? "B" : "?";
         }},
        {"port-id", false, 0,
         [](const std::string& path, char which) {
             std::string message;
             writeIdentityFile(path, std::string("link:") + which, "/dev/ttyUSB0", &message);
             return message;
         },
         [](const std::string& path) -> std::string {
             const std::string id = readIdentityFile(path);
             return id.empty() ? id : id.substr(5);
         }},
        {"network-ports", true, 0,
         [](const std::string& path, char which) {
             FileRoom::Outcome o;
             NetworkPorts::save(path, {std::string("tcp://10.0.0.") + (which == 'A' ? "1:1" : "2:2")}, &o);
             return o.message;
         },
         [](const std::string& path) -> std::string {
             const auto list = NetworkPorts::load(path);
             return list.empty() ? "" : list[0] == "tcp://10.0.0.1:1" ? "A" : "B";
         }},
        {"port-options", true, 0,
         [](const std::string& path, char which) {
             FileRoom::Outcome o;
             PortOptionsFile::save(path, {which == 'A', which == 'B'}, &o);
             return o.message;
         },
         [](const std::string& path) -> std::string {
             const PortOptions o = PortOptionsFile::load(path);
             return o.dropEcho ? "A" : o.kernelRs485 ? "B" : "";
         }},
        {"zdalne.json", true, 0600,
         [](const std::string& path, char which) {
             RemoteSettings s;
             s.token = token(which);
             s.viewerKey = newAccessToken();
             return s.save(qpath(path)).toStdString();
         },
         [](const std::string& path) -> std::string {
             const QByteArray token = RemoteSettings::load(qpath(path)).token;   // a fresh one when refused
             return token == ::token('A') ? "A" : token == ::token('B') ? "B" : "";
         }},
    };
}

std::vector<std::string> entries(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

mode_t modeOf(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Runs a save as a user other than root where the tests run as root, so that folder
// permissions hold; nobody must then be able to reach the folder. Empty optional: no such user.
std::optional<std::string> unprivileged(const std::function<std::string()>& save)
{
    if (::geteuid() != 0)
        return save();
    int pipe[2];
    if (::pipe(pipe) != 0)
        return std::nullopt;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(2);
        const std::string message = save();
        const bool written = ::write(pipe[1], message.data(), message.size()) == static_cast<ssize_t>(message.size());
        ::_exit(written ? 0 : 3);
    }
    ::close(pipe[1]);
    std::string message;
    char buffer[512];
    for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;)
        message.append(buffer, static_cast<size_t>(n));
    ::close(pipe[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return message;
}

// Full disk: half the bytes go, then ENOSPC.
struct FullDisk {
    FullDisk()
    {
        FileRoom::writeHook() = [](int fd, const void* data, size_t count) -> ssize_t {
            if (count > 1)
                return ::write(fd, data, count / 2);
            errno = ENOSPC;
            return -1;
        };
    }
    ~FullDisk() { FileRoom::writeHook() = nullptr; }
};

} // namespace

// A regular file is replaced whole, leaving nothing beside it; a new one's mode comes from the
// umask, the owner-only file's is 0600 whatever the umask.
TEST(FileRoom, RegularFileAndUmask)
{
    for (const Subject& s : subjects()) {
        for (const mode_t mask : {022, 027, 077, 002}) {
            SCOPED_TRACE(std::string(s.name) + ", umask 0" + std::to_string(mask / 8) + std::to_string(mask % 8));
            TempDir dir;
            const std::string path = dir.file(std::string("kadrel/") + s.name);
            const mode_t before = ::umask(mask);
            const std::string first = s.save(path, 'A');
            ::umask(before);
            ASSERT_EQ(first, "");
            EXPECT_EQ(s.load(path), "A");
            EXPECT_EQ(modeOf(path), s.ownerOnlyMode ? s.ownerOnlyMode : 0666 & ~mask);
            EXPECT_EQ(s.save(path, 'B'), "");
            EXPECT_EQ(s.load(path), "B");
            EXPECT_EQ(entries(dir.file("kadrel")), std::vector<std::string>{s.name});
        }
    }
}

// What is not a regular file (a FIFO that would block a read for ever, a folder) is neither
// read nor replaced; a symbolic link is followed or refused as the file's policy says.
TEST(FileRoom, WhatStandsAtThePath)
{
    enum class Thing { Fifo, Folder, Link };
    for (const Subject& s : subjects()) {
        for (const Thing thing : {Thing::Fifo, Thing::Folder, Thing::Link}) {
            SCOPED_TRACE(std::string(s.name) + " over " + (thing == Thing::Fifo ? "a FIFO" : thing == Thing::Folder ? "a folder" : "a link"));
            TempDir dir;
            const std::string path = dir.file(s.name);
            const std::string real = dir.file("real/") + s.name;
            ASSERT_EQ(s.save(real, 'A'), "");
            if (thing == Thing::Fifo)
                ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
            else if (thing == Thing::Folder)
                dir.mkdir(s.name);
            else
                fs::create_symlink(std::string("real/") + s.name, path);

            const bool followed = thing == Thing::Link && s.followsLinks;
            EXPECT_EQ(s.load(path), followed ? "A" : "");
            const std::string refusal = s.save(path, 'B');
            if (followed) {
                EXPECT_EQ(refusal, "");
                EXPECT_EQ(s.load(real), "B");
            } else {
                EXPECT_NE(refusal.find(path), std::string::npos) << refusal;
                EXPECT_EQ(s.load(real), "A");
            }
            // What stood there still does, and nothing was left beside it.
            EXPECT_EQ(fs::symlink_status(path).type(), thing == Thing::Fifo ? fs::file_type::fifo
                                                       : thing == Thing::Folder ? fs::file_type::directory
                                                                                : fs::file_type::symlink);
            std::vector<std::string> both{"real", s.name};
            std::sort(both.begin(), both.end());
            EXPECT_EQ(entries(dir.path()), both);
            EXPECT_EQ(entries(dir.file("real")), std::vector<std::string>{s.name});
        }
    }
}

// A save that cannot finish (the disk full half-way, a folder that cannot be written) names
// the file, keeps the old content and leaves no temporary file.
TEST(FileRoom, AFailedSaveKeepsTheOldFile)
{
    for (const Subject& s : subjects()) {
        SCOPED_TRACE(s.name);
        TempDir dir;
        const std::string folder = dir.mkdir("kadrel");
        const std::string path = folder + "/" + s.name;
        ASSERT_EQ(s.save(path, 'A'), "");
        {
            const FullDisk full;
            const std::string refusal = s.save(path, 'B');
            EXPECT_NE(refusal.find(path + ": Brak miejsca na urządzeniu (błąd 28)"), std::string::npos) << refusal;
        }
        EXPECT_EQ(s.load(path), "A");
        EXPECT_EQ(entries(folder), std::vector<std::string>{s.name});

        ::chmod(dir.path().c_str(), 0755);
        ::chmod(folder.c_str(), 0555);
        const std::optional<std::string> refusal = unprivileged([&] { return s.save(path, 'B'); });
        ::chmod(folder.c_str(), 0755);
        if (!refusal) {
            GTEST_SKIP() << "no unprivileged user to run the save as";
        }
        EXPECT_NE(refusal->find(path + ": Brak uprawnień (błąd 13)"), std::string::npos) << *refusal;
        EXPECT_EQ(s.load(path), "A");
        EXPECT_EQ(entries(folder), std::vector<std::string>{s.name});
    }
}

// The remote settings hold the token: a file their owner made read-only is not replaced, as
// the other files are (the folder being theirs to write).
TEST(FileRoom, AReadOnlyFileIsKeptOnlyWhereItsPolicySaysSo)
{
    for (const Subject& s : subjects()) {
        SCOPED_TRACE(s.name);
        TempDir dir;
        const std::string folder = dir.mkdir("kadrel");
        const std::string path = folder + "/" + s.name;
        ASSERT_EQ(s.save(path, 'A'), "");
        ::chmod(path.c_str(), 0400);
        ::chmod(dir.path().c_str(), 0755);
        // Root may write anything: the file and its folder go to the user the save runs as.
        if (::geteuid() == 0) {
            ASSERT_EQ(::chown(folder.c_str(), 65534, 65534) | ::chown(path.c_str(), 65534, 65534), 0);
        }
        const std::optional<std::string> refusal = unprivileged([&] { return s.save(path, 'B'); });
        if (!refusal) {
            GTEST_SKIP() << "no unprivileged user to run the save as";
        }
        const bool kept = std::string(s.name) == "zdalne.json";
        EXPECT_EQ(refusal->find(path + ": Brak uprawnień (błąd 13)") != std::string::npos, kept) << *refusal;
        EXPECT_EQ(s.load(path), kept ? "A" : "B");
        EXPECT_EQ(modeOf(path), 0400u);
    }
}

// Each file's size cap. A line-based file past its cap reads its whole lines only: a line cut
// at the cap could read as another address.
TEST(FileRoom, SizeCaps)
{
    TempDir dir;
    const std::string path = dir.file("file");
    struct Case { const char* what; std::string content; std::function<std::string()> read; std::string expected; };
    const std::string token(43, 't');
    auto json = [&](size_t size) {
        std::string text = R"({"token":")" + token + R"("})";
        return text + std::string(size - text.size(), ' ');
    };
    auto tokenRead = [&]() -> std::string { return RemoteSettings::load(qpath(path)).token == token.c_str() ? "read" : "refused"; };
    const std::string lines = "tcp://10.0.0.1:1\n" + std::string(64 * 1024 - 17 - 18, '#') + "\n";
    const Case cases[] = {
        {"port-id at 4096 B", "link:A\n" + std::string(4089, ' '), [&] { return readIdentityFile(path); }, "link:A"},
        {"port-id at 4097 B", "link:A\n" + std::string(4090, ' '), [&] { return readIdentityFile(path); }, ""},
        {"zdalne.json below 64 KiB", json(64 * 1024 - 1), tokenRead, "read"},
        {"zdalne.json at 64 KiB", json(64 * 1024), tokenRead, "refused"},
        {"network-ports with a line cut at the cap", lines + "tcp://10.0.0.5:4001\n",
         [&] {
             std::string all;
             for (const std::string& a : NetworkPorts::load(path)) all += a + " ";
             return all;
         },
         "tcp://10.0.0.1:1 "},
    };
    for (const Case& c : cases) {
        writeFile(path, c.content);
        EXPECT_EQ(c.read(), c.expected) << c.what;
    }
}
