// Operating-system errors in Polish, with their number, and a failed save that names the file
// the operator knows rather than the temporary file beside it.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "app/DataFile.h"
#include "link/ErrnoText.h"
#include "link/Exceptions.h"
#include "tests/support/TempDir.h"

TEST(ErrnoText, CommonErrorsArePolishAndKeepTheirNumber)
{
    const struct {
        int error;
        const char* text;
    } cases[] = {
        {ENOENT, "Nie ma takiego pliku ani folderu (błąd 2)"},
        {EACCES, "Brak uprawnień (błąd 13)"},
        {EPERM, "Operacja niedozwolona (błąd 1)"},
        {EBUSY, "Urządzenie lub zasób zajęty (błąd 16)"},
        {EAGAIN, "Zasób chwilowo niedostępny (błąd 11)"},
        {EIO, "Błąd wejścia/wyjścia (błąd 5)"},
        {ENOSPC, "Brak miejsca na urządzeniu (błąd 28)"},
        {EROFS, "System plików tylko do odczytu (błąd 30)"},
        {EISDIR, "To jest folder (błąd 21)"},
        {ENOTDIR, "To nie jest folder (błąd 20)"},
        {ENXIO, "Nie ma takiego urządzenia ani adresu (błąd 6)"},
        {ENODEV, "Nie ma takiego urządzenia (błąd 19)"},
        {EEXIST, "Plik już istnieje (błąd 17)"},
        {EMFILE, "Za dużo otwartych plików (błąd 24)"},
        {EFBIG, "Plik jest za duży (błąd 27)"},
        {4095, "Błąd systemu (błąd 4095)"},   // none of ours: still the number
    };
    for (const auto& c : cases)
        EXPECT_EQ(ErrnoText(c.error), c.text) << c.error;
}

namespace {

std::string saveFailure(const std::string& path)
{
    const std::string content(60, 'n');
    try {
        WriteBlock(path, reinterpret_cast<const uint8_t*>(content.data()), content.size());
    } catch (const EInOutError& e) {
        return e.Message();
    }
    return "saved";
}

} // namespace

// Real failures, also as root: no descriptor left for the temporary file, and a file-size
// limit that stops the write half-way.
TEST(ErrnoText, AFailedSaveNamesTheSettingsFileInPolish)
{
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
    const std::string noDescriptor = saveFailure(path);
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(noDescriptor, "Nie można zapisać pliku " + path + ": Za dużo otwartych plików (błąd 24)");

    std::signal(SIGXFSZ, SIG_IGN);
    rlimit oldSize{};
    getrlimit(RLIMIT_FSIZE, &oldSize);
    rlimit small = oldSize;
    small.rlim_cur = 10;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::string tooBig = saveFailure(path);
    setrlimit(RLIMIT_FSIZE, &oldSize);
    EXPECT_EQ(tooBig, "Nie można zapisać pliku " + path + ": Plik jest za duży (błąd 27)");
}
