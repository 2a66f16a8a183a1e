#include "app/KadrelApplication.h"

#include <QLibraryInfo>
#include <QTranslator>
#include <exception>

#include "app/KadrelMain.h"

KadrelApplication::KadrelApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    installQtTranslations();
}

bool KadrelApplication::installQtTranslations()
{
    auto* translator = new QTranslator(this);
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!translator->load(QStringLiteral("qtbase_pl"), folder) || !installTranslator(translator)) {
        qWarning("no Polish translation of Qt's own texts in %s (Debian: qt6-translations-l10n)",
                 qUtf8Printable(folder));
        delete translator;
        return false;
    }
    return true;
}

bool KadrelApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        if (Form1) {
            // The handler shows boxes and waits; nothing it raises may escape either.
            try {
                Form1->HandleException(std::current_exception());
            } catch (const std::exception& e) {
                qWarning("exception in the exception handler: %s", e.what());
            } catch (...) {
                qWarning("unknown exception in the exception handler");
            }
        } else {
            try {
                throw;
            } catch (const std::exception& e) {
                qWarning("unhandled exception: %s", e.what());
            } catch (...) {
                qWarning("unhandled exception");
            }
        }
        return true;
    }
}
