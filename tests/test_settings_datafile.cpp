// The byte file of the loaders and the replacing write of the settings file.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "files/DataFile.h"
#include "base/Exceptions.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// Only the files a test put there: no temporary file may be left behind.
std::vector<std::string> entries(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void write(const std::string& path, const std::string& content)
{
    WriteBlock(path, reinterpret_cast<const uint8_t*>(content.data()), content.size());
}

const std::string OldSettings(55, 'o');
const std::string NewSettings(60, 'n');

} // namespace

TEST(DataFile, ReadsBytesAndKeepsTheBufferPastTheEnd)
{
    TempDir dir;
    writeFile(dir.file("a"), "abc");
    TDataFile f;
    f.Assign(dir.file("a"));
    EXPECT_TRUE(f.Exists());
    f.Reset();
    EXPECT_EQ(f.FileSize(), 3);
    uint8_t buffer[6] = {'x', 'x', 'x', 'x', 'x', 'x'};
    f.ReadBlock(buffer, 2);
    f.ReadBlock(buffer + 2, 4);   // one byte left: the rest stays as it was
    f.ReadBlock(buffer + 5, 1);   // at the end: swallowed
    EXPECT_EQ(std::string(buffer, buffer + 6), "abcxxx");
    f.Close();
    EXPECT_FALSE(f.IsOpen());
}

TEST(DataFile, OpenFailuresAreInputOutputErrors)
{
    TempDir dir;
    TDataFile f;
    f.Assign(dir.file("missing"));
    EXPECT_FALSE(f.Exists());
    try {
        f.Reset();
        FAIL() << "opened a missing file";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode, ENOENT);
        EXPECT_NE(e.Message().find(dir.file("missing")), std::string::npos);
    }
    // A folder in the file's place opens for reading on Linux; it must be refused all the same.
    dir.mkdir("folder");
    f.Assign(dir.file("folder"));
    EXPECT_TRUE(f.Exists());
    EXPECT_THROW(f.Reset(), EInOutError);
    EXPECT_FALSE(f.IsOpen());
}

TEST(SettingsWrite, CreatesTheFolderAndLeavesOnlyTheFile)
{
    TempDir dir;
    const std::string path = dir.path() + "/config/kadrel/z.cf";
    write(path, OldSettings);
    EXPECT_EQ(readFile(path), OldSettings);
    write(path, NewSettings);
    EXPECT_EQ(readFile(path), NewSettings);
    EXPECT_EQ(entries(dir.path() + "/config/kadrel"), std::vector<std::string>{"z.cf"});
}

// RLIMIT_FSIZE stops writes for root too: the write of the new image fails half-way.
TEST(SettingsWrite, AFailingWriteKeepsTheOldFile)
{
    TempDir dir;
    const std::string path = dir.file("z.cf");
    writeFile(path, OldSettings);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 10;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    try {
        write(path, NewSettings);
        ADD_FAILURE() << "the write did not fail";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode, EFBIG);
    }
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(readFile(path), OldSettings);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"z.cf"});
}

TEST(SettingsWrite, AFolderInTheFilesPlaceIsReported)
{
    TempDir dir;
    const std::string path = dir.mkdir("z.cf");
    writeFile(path + "/keep", "k");
    EXPECT_THROW(write(path, NewSettings), EInOutError);
    EXPECT_EQ(readFile(path + "/keep"), "k");
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"z.cf"});
}

TEST(SettingsWrite, AFileInTheFoldersPlaceIsReported)
{
    TempDir dir;
    writeFile(dir.file("kadrel"), "not a folder");
    try {
        write(dir.file("kadrel") + "/z.cf", NewSettings);
        FAIL() << "wrote below a file";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode, ENOTDIR);
    }
    EXPECT_EQ(readFile(dir.file("kadrel")), "not a folder");
}

TEST(SettingsWrite, AReadOnlyFolderKeepsTheOldFile)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "running as root: folder permissions do not stop writes";
    TempDir dir;
    const std::string folder = dir.mkdir("ro");
    writeFile(folder + "/z.cf", OldSettings);
    chmod(folder.c_str(), 0555);
    EXPECT_THROW(write(folder + "/z.cf", NewSettings), EInOutError);
    chmod(folder.c_str(), 0755);
    EXPECT_EQ(readFile(folder + "/z.cf"), OldSettings);
    EXPECT_EQ(entries(folder), std::vector<std::string>{"z.cf"});
}

TEST(SettingsWrite, KeepsTheOldFilesPermissions)
{
    TempDir dir;
    const std::string path = dir.file("z.cf");
    writeFile(path, OldSettings);
    chmod(path.c_str(), 0600);
    write(path, NewSettings);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Opening waits for nothing: a FIFO (which would wait for a writer for ever), a socket or a
// device is refused as an input/output error like any file that cannot be opened.
TEST(DataFile, OnlyARegularFileIsOpenedAndNothingBlocks)
{
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    for (const std::string& path : {dir.file("fifo"), std::string("/dev/null")}) {
        TDataFile f;
        f.Assign(path);
        try {
            f.Reset();
            ADD_FAILURE() << "opened " << path;
        } catch (const EInOutError& e) {
            EXPECT_NE(e.Message().find(path), std::string::npos) << e.Message();
            EXPECT_NE(e.Message().find("to nie jest zwykły plik"), std::string::npos) << e.Message();
        }
        EXPECT_FALSE(f.IsOpen());
    }
}

// Saving through a symbolic link replaces the file it names, atomically, and keeps the link;
// so for a chain of links, a relative one and one whose file is not there yet.
TEST(SettingsWrite, ThroughALinkTheTargetIsReplacedAndTheLinkKept)
{
    TempDir dir;
    dir.mkdir("real");
    writeFile(dir.file("real/z.cf"), OldSettings);
    fs::create_symlink("real/z.cf", dir.file("relative"));
    fs::create_symlink(dir.file("relative"), dir.file("chain"));
    fs::create_symlink(dir.file("real/new.cf"), dir.file("dangling"));
    for (const char* name : {"relative", "chain"}) {
        write(dir.file(name), NewSettings + name);
        EXPECT_TRUE(fs::is_symlink(dir.file(name))) << name;
        EXPECT_EQ(readFile(dir.file("real/z.cf")), NewSettings + name);
    }
    write(dir.file("dangling"), NewSettings);
    EXPECT_TRUE(fs::is_symlink(dir.file("dangling")));
    EXPECT_EQ(readFile(dir.file("real/new.cf")), NewSettings);
    EXPECT_EQ(entries(dir.file("real")), (std::vector<std::string>{"new.cf", "z.cf"}));
}

// A new file gets what the umask allows; an existing one keeps its mode whatever the umask.
TEST(SettingsWrite, ANewFileFollowsTheUmaskAnOldOneKeepsItsMode)
{
    struct Case { mode_t umask; bool existing; mode_t before; mode_t expected; };
    const Case cases[] = {
        {022, false, 0, 0644}, {027, false, 0, 0640}, {077, false, 0, 0600}, {002, false, 0, 0664},
        {077, true, 0644, 0644}, {022, true, 0600, 0600}, {000, true, 0640, 0640},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string path = dir.file("z.cf");
        if (c.existing) {
            writeFile(path, OldSettings);
            chmod(path.c_str(), c.before);
        }
        const mode_t old = umask(c.umask);
        write(path, NewSettings);
        umask(old);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, c.expected) << "umask " << std::oct << c.umask << (c.existing ? ", existing" : ", new");
    }
}
