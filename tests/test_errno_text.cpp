// Operating-system errors in Polish, with their number, and a failed save that names the file
// the operator knows rather than the temporary file beside it.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "files/DataFile.h"
#include "base/ErrnoText.h"
#include "base/Exceptions.h"
#include "tests/support/TempDir.h"

TEST(ErrnoText, CommonErrorsArePolishAndKeepTheirNumber)
{
    EXPECT_EQ(ErrnoText(ENOENT), "Nie ma takiego pliku ani folderu (błąd 2)");
    EXPECT_EQ(ErrnoText(EACCES), "Brak uprawnień (błąd 13)");
    EXPECT_EQ(ErrnoText(ENOSPC), "Brak miejsca na urządzeniu (błąd 28)");
    EXPECT_EQ(ErrnoText(EROFS), "System plików tylko do odczytu (błąd 30)");
    EXPECT_EQ(ErrnoText(4095), "Błąd systemu (błąd 4095)");   // none of ours: still the number
}

// A real failure, also as root: no descriptor left for the temporary file.
TEST(ErrnoText, AFailedSaveNamesTheSettingsFile)
{
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' runtime needs free descriptors of its own to check and report.
    GTEST_SKIP() << "no descriptor limit under the sanitizers; the plain build runs this";
#endif
    TempDir dir;
    const std::string path = dir.file("z.cf");
    rlimit old{};
    getrlimit(RLIMIT_NOFILE, &old);
    const int lowestFree = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    rlimit none = old;
    none.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    std::string message;
    try {
        WriteBlock(path, reinterpret_cast<const uint8_t*>("zcf"), 3);
    } catch (const EInOutError& e) {
        message = e.Message();
    }
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(message, "Nie można zapisać pliku " + path + ": Za dużo otwartych plików (błąd 24)");
}
