// needs: qtcore
// The event log on disk: one line per event with its time, bounded by rotation into one kept
// file, text from outside made one clean line, and a state folder it cannot write (read-only,
// a FIFO or a link in the file's place, a file where the folder should be) reported once,
// never fatal, the lines kept in memory for the viewer.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QString>

#include <filesystem>
#include <fstream>

#include "tests/support/TempDir.h"
#include "unattended/Autostart.h"
#include "unattended/EventLog.h"

namespace fs = std::filesystem;

namespace {

std::string slurp(const std::string& path)
{
    return readFile(path);
}

TEST(EventLogTest, WritesOneStampedLinePerEventAndRotatesIntoOneKeptFile)
{
    TempDir dir;
    const std::string folder = dir.path() + "/state/kadrel";
    {
        EventLog log(QString::fromStdString(folder), false, 2000);
        for (int i = 0; i < 100; ++i)
            log.write(QStringLiteral("zdarzenie %1 ąę").arg(i, 3, 10, QLatin1Char('0')));
        log.flush();
        EXPECT_TRUE(log.failure().isEmpty()) << log.failure().toStdString();
    }
    const std::string now = slurp(folder + "/kadrel.log"), old = slurp(folder + "/kadrel.log.1");
    EXPECT_LE(now.size(), 2000u);
    EXPECT_LE(old.size(), 2000u);
    EXPECT_NE(now.find("zdarzenie 099 ąę\n"), std::string::npos);
    EXPECT_NE(old.find("zdarzenie"), std::string::npos);
    EXPECT_EQ(now.find("zdarzenie 000"), std::string::npos);   // the oldest went with the rotation
    // "2026-12-09 04:14:02.475 zdarzenie …": the local time leads each line.
    EXPECT_EQ(now[4], '-');
    EXPECT_EQ(now[23], ' ');
    EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
}

TEST(EventLogTest, OutsideTextBecomesOneCleanLine)
{
    const struct {
        QByteArray in;
        QString out;
    } rows[] = {
        {"curl/8.1", QStringLiteral("curl/8.1")},
        {"a\r\nb\x1b[31m", QStringLiteral("a\\x0d\\x0ab\\x1b[31m")},
        {"Mozilla \xc5\x82\xc3\xb3", QStringLiteral("Mozilla łó")},
        {"bad \xff\xc3 end", QStringLiteral("bad \\xff\\xc3 end")},
        {"overlong \xc0\xaf", QStringLiteral("overlong \\xc0\\xaf")},
        // Format characters that reorder or hide text, by their number.
        {"a\xe2\x80\xae" "b", QStringLiteral("a\\u{202E}b")},
        {"\xe2\x81\xa6x\xe2\x81\xa9", QStringLiteral("\\u{2066}x\\u{2069}")},
        {"\xe2\x80\x8b\xe2\x80\x8f\xd8\x9c\xef\xbb\xbf", QStringLiteral("\\u{200B}\\u{200F}\\u{061C}\\u{FEFF}")},
        {"\xc2\xad\xf3\xa0\x80\x81", QStringLiteral("\\u{00AD}\\u{E0001}")},
        {QByteArray(300, 'x'), QString(10, QLatin1Char('x')) + QStringLiteral("…")},
    };
    for (const auto& row : rows) {
        const int limit = row.in.size() == 300 ? 10 : 200;
        EXPECT_EQ(EventLog::clean(row.in, limit), row.out) << row.in.toStdString();
    }
    TempDir dir;
    EventLog log(QString::fromStdString(dir.path()), false);
    log.write(QStringLiteral("jeden\ndwa\u2028trzy"));
    log.flush();
    const std::string text = slurp(dir.path() + "/kadrel.log");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
}

TEST(EventLogTest, AFolderItCannotWriteIsReportedOnceAndNothingStops)
{
    enum class Spoil { ReadOnly, Fifo, Symlink, FileAsFolder };
    for (const Spoil spoil : {Spoil::ReadOnly, Spoil::Fifo, Spoil::Symlink, Spoil::FileAsFolder}) {
        TempDir dir;
        std::string folder = dir.path() + "/kadrel";
        fs::create_directories(folder);
        switch (spoil) {
        case Spoil::ReadOnly:
            if (geteuid() == 0)
                continue;   // root writes anyway
            fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
            break;
        case Spoil::Fifo: ASSERT_EQ(::mkfifo((folder + "/kadrel.log").c_str(), 0600), 0); break;
        case Spoil::Symlink: fs::create_symlink(dir.path() + "/elsewhere", folder + "/kadrel.log"); break;
        case Spoil::FileAsFolder:
            fs::remove(folder);
            std::ofstream(folder) << "x";
            break;
        }
        ::testing::internal::CaptureStderr();
        {
            EventLog log(QString::fromStdString(folder), false);
            for (int i = 0; i < 5; ++i)
                log.write(QStringLiteral("wiersz %1").arg(i));
            log.flush();
            EXPECT_FALSE(log.failure().isEmpty());
            EXPECT_EQ(log.recentLines().size(), 5);
        }
        const std::string err = ::testing::internal::GetCapturedStderr();
        size_t said = 0;
        for (size_t at = err.find("dziennik zdarzeń nie jest zapisywany"); at != std::string::npos;
             at = err.find("dziennik zdarzeń nie jest zapisywany", at + 1))
            ++said;
        EXPECT_EQ(said, 1u) << err;
        EXPECT_FALSE(fs::exists(dir.path() + "/elsewhere"));
        fs::permissions(dir.path() + "/kadrel", fs::perms::owner_all, fs::perm_options::add);
    }
}

TEST(AutostartTest, EntryPerProfileOnAndOffAndAFolderItCannotWrite)
{
    XdgSandbox sandbox;
    const QString program = QStringLiteral("/opt/my apps/kadrel");
    EXPECT_FALSE(autostart::enabled(QString()));
    ASSERT_TRUE(autostart::setEnabled(QStringLiteral("hala-2"), program, true).isEmpty());
    EXPECT_TRUE(autostart::enabled(QStringLiteral("hala-2")));
    EXPECT_FALSE(autostart::enabled(QString()));
    const std::string text = readFile(sandbox.configDir() + "/autostart/kadrel-hala-2.desktop");
    EXPECT_NE(text.find("Exec=\"/opt/my apps/kadrel\" --profile hala-2\n"), std::string::npos) << text;
    ASSERT_TRUE(autostart::setEnabled(QStringLiteral("hala-2"), program, false).isEmpty());
    EXPECT_FALSE(autostart::enabled(QStringLiteral("hala-2")));

    fs::remove_all(sandbox.configDir() + "/autostart");
    std::ofstream(sandbox.configDir() + "/autostart") << "not a folder";
    const QString refusal = autostart::setEnabled(QString(), program, true);
    EXPECT_FALSE(refusal.isEmpty());
    EXPECT_TRUE(refusal.contains(QStringLiteral("/autostart"))) << refusal.toStdString();
}

} // namespace
