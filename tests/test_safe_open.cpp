// The one safe open every file of the program goes through (the settings and the files beside
// them, the monitor's saved log, the event log): what stands at the path decides, and nothing
// makes it wait.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/SafeOpen.h"
#include "tests/support/TempDir.h"

namespace {

using SafeOpen::Links;
using SafeOpen::Refusal;

struct Case {
    const char* what;
    const char* stands;   // file, missing, folder, fifo, null, link, linked-folder/file
    int flags;
    Links links;
    Refusal refusal;
    int error;
};

// Makes what the case puts at the path and returns the path to open.
std::string plant(const TempDir& dir, const std::string& stands)
{
    const std::string file = dir.file("plik");
    writeFile(dir.file("target"), "old");
    if (stands == "file")
        writeFile(file, "old");
    else if (stands == "folder")
        dir.mkdir("plik");
    else if (stands == "fifo")
        EXPECT_EQ(::mkfifo(file.c_str(), 0600), 0);
    else if (stands == "null")
        return "/dev/null";
    else if (stands == "link")
        EXPECT_EQ(::symlink(dir.file("target").c_str(), file.c_str()), 0);
    else if (stands == "linked-folder/file") {
        writeFile(dir.mkdir("real") + "/plik", "old");
        EXPECT_EQ(::symlink(dir.file("real").c_str(), dir.file("via").c_str()), 0);
        return dir.file("via/plik");
    }
    return file;
}

const Case Cases[] = {
    {"a regular file is read", "file", O_RDONLY, Links::Refuse, Refusal::None, 0},
    {"a missing file is ENOENT", "missing", O_RDONLY, Links::Follow, Refusal::System, ENOENT},
    {"a missing file is created", "missing", O_WRONLY | O_CREAT | O_APPEND, Links::Refuse, Refusal::None, 0},
    {"a link is followed when allowed", "link", O_RDONLY, Links::Follow, Refusal::None, 0},
    {"a link is refused for reading", "link", O_RDONLY, Links::Refuse, Refusal::Link, ELOOP},
    {"a link is refused for appending", "link", O_WRONLY | O_CREAT | O_APPEND, Links::Refuse, Refusal::Link, ELOOP},
    {"only the last name is judged", "linked-folder/file", O_RDONLY, Links::Refuse, Refusal::None, 0},
    {"a folder is not read", "folder", O_RDONLY, Links::Follow, Refusal::Folder, EISDIR},
    {"a folder is not written", "folder", O_WRONLY | O_CREAT | O_TRUNC, Links::Follow, Refusal::Folder, EISDIR},
    {"a FIFO without a writer is not read", "fifo", O_RDONLY, Links::Follow, Refusal::NotRegular, EINVAL},
    {"a FIFO without a reader does not hold the writer", "fifo", O_WRONLY | O_CREAT | O_TRUNC, Links::Follow,
     Refusal::System, ENXIO},
    {"a device is not written", "null", O_WRONLY | O_CREAT | O_TRUNC, Links::Follow, Refusal::NotRegular, EINVAL},
};

} // namespace

TEST(SafeOpen, WhatStandsAtThePathDecides)
{
    for (const Case& c : Cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = plant(dir, c.stands);
        const SafeOpen::Opened o = SafeOpen::open(path, c.flags, c.links, 0600);
        EXPECT_EQ(o.refusal, c.refusal);
        EXPECT_EQ(o.error, c.error);
        EXPECT_EQ(o.fd.valid(), o.ok());
        if (o.ok()) {
            EXPECT_TRUE(S_ISREG(o.st.st_mode));
            EXPECT_EQ(::fcntl(o.fd.get(), F_GETFL) & O_NONBLOCK, 0) << "the file work that follows blocks";
            EXPECT_NE(::fcntl(o.fd.get(), F_GETFD) & FD_CLOEXEC, 0);
        } else {
            EXPECT_FALSE(o.reason().empty());
        }
        // A refusal writes nothing anywhere, through a link least of all.
        EXPECT_EQ(readFile(dir.file("target")), "old");
    }
}

TEST(SafeOpen, RefusalsSpeakPolish)
{
    EXPECT_EQ(SafeOpen::reasonOf(Refusal::Link, ELOOP), "to dowiązanie symboliczne, a nie plik");
    EXPECT_EQ(SafeOpen::reasonOf(Refusal::NotRegular, EINVAL), "to nie jest zwykły plik");
    EXPECT_EQ(SafeOpen::reasonOf(Refusal::Folder, EISDIR), "To jest folder (błąd 21)");
    EXPECT_EQ(SafeOpen::reasonOf(Refusal::System, ENOENT), "Nie ma takiego pliku ani folderu (błąd 2)");
}
