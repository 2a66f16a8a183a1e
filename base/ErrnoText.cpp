#include "base/ErrnoText.h"

#include <cerrno>

namespace {

struct Entry {
    int error;
    const char* text;
};

constexpr Entry Texts[] = {
    {EPERM, "Operacja niedozwolona"},
    {ENOENT, "Nie ma takiego pliku ani folderu"},
    {EINTR, "Przerwane wywołanie systemowe"},
    {EIO, "Błąd wejścia/wyjścia"},
    {ENXIO, "Nie ma takiego urządzenia ani adresu"},
    {E2BIG, "Za długa lista argumentów"},
    {EBADF, "Nieprawidłowy deskryptor pliku"},
    {EAGAIN, "Zasób chwilowo niedostępny"},
    {ENOMEM, "Brak pamięci"},
    {EACCES, "Brak uprawnień"},
    {EFAULT, "Nieprawidłowy adres"},
    {EBUSY, "Urządzenie lub zasób zajęty"},
    {EEXIST, "Plik już istnieje"},
    {EXDEV, "Nie można przenieść między systemami plików"},
    {ENODEV, "Nie ma takiego urządzenia"},
    {ENOTDIR, "To nie jest folder"},
    {EISDIR, "To jest folder"},
    {EINVAL, "Nieprawidłowy argument"},
    {ENFILE, "Za dużo otwartych plików w systemie"},
    {EMFILE, "Za dużo otwartych plików"},
    {ENOTTY, "Nieodpowiednia operacja dla urządzenia"},
    {ETXTBSY, "Plik tekstowy zajęty"},
    {EFBIG, "Plik jest za duży"},
    {ENOSPC, "Brak miejsca na urządzeniu"},
    {ESPIPE, "Nieprawidłowe przesunięcie w pliku"},
    {EROFS, "System plików tylko do odczytu"},
    {EMLINK, "Za dużo dowiązań"},
    {EPIPE, "Przerwany potok"},
    {ENAMETOOLONG, "Za długa nazwa pliku"},
    {ENOTEMPTY, "Folder nie jest pusty"},
    {ELOOP, "Za dużo poziomów dowiązań symbolicznych"},
    {EDQUOT, "Przekroczony przydział dyskowy"},
    {ESTALE, "Nieaktualne dowiązanie do pliku w sieci"},
    {ETIMEDOUT, "Przekroczony czas oczekiwania"},
    {EOVERFLOW, "Wartość za duża dla typu danych"},
    {EOPNOTSUPP, "Operacja nieobsługiwana"},
};

} // namespace

std::string ErrnoText(int error)
{
    const char* text = "Błąd systemu";
    for (const Entry& e : Texts)
        if (e.error == error) {
            text = e.text;
            break;
        }
    return std::string(text) + " (błąd " + std::to_string(error) + ")";
}
