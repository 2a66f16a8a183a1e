#pragma once
// Operating-system errors in the operator's language. The common errno values have Polish
// texts of our own (the C library's are English whatever the locale); every text keeps the
// number, so a report can still be looked up.
#include <string>

// "Brak uprawnień (błąd 13)"; an errno without a text of ours: "Błąd systemu (błąd 71)".
std::string ErrnoText(int error);
