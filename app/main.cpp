// Program entry: the main window first, then the dialogs, then the message loop until the main
// window closes (or SIGTERM / SIGINT ends it). With --headless the same window runs unseen,
// without a display: its boxes become lines on standard error, and the remote page is its face.
#include <QIcon>
#include <QSocketNotifier>
#include <cstdio>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "app/KadrelApplication.h"
#include "app/KadrelMain.h"
#include "app/PlanRunner.h"
#include "plan/PlanFile.h"
#include "widgets/NoticeBoxes.h"
#include "files/Profile.h"
#include "widgets/Seams.h"
#include "files/ConfigPaths.h"
#include "dialogs/JakieCOMy.h"
#include "dialogs/Pomoc.h"
#include "dialogs/Ustawienia.h"
#include "dialogs/Zmienadres.h"
#include "unattended/EventLog.h"

namespace {

const char* const Usage =
    "Użycie: kadrel [--profile NAZWA] [--headless]\n"
    "  --profile NAZWA  ustawienia, porty sieciowe i dziennik w osobnym folderze profilu\n"
    "  --headless       bez okna i bez ekranu: sterowanie przez stronę zdalną, komunikaty na stderr\n";

// The exit status when the profile is held by another running instance (the units do not
// restart on it).
constexpr int ProfileInUseExit = 3;

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

// SIGTERM and SIGINT reach the event loop as a readable pipe: the handler itself does nothing
// that is not safe in a signal handler.
bool catchStopSignals()
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGTERM, &action, nullptr) == 0 && ::sigaction(SIGINT, &action, nullptr) == 0;
}

QString kindWord(MsgKind kind)
{
    switch (kind) {
    case MsgKind::Information: return QStringLiteral("informacja");
    case MsgKind::Warning: return QStringLiteral("ostrzeżenie");
    case MsgKind::Error: return QStringLiteral("błąd");
    case MsgKind::Plain: break;
    }
    return QStringLiteral("komunikat");
}

// A box as one line of the log.
QString boxLine(MsgKind kind, const QString& text)
{
    return QStringLiteral("Komunikat (%1): %2").arg(kindWord(kind), QString(text).replace(QLatin1Char('\n'), QStringLiteral(" / ")));
}

} // namespace

int main(int argc, char** argv)
{
    // Read before the application exists: a wrong option or --help needs no display, and
    // without a screen none is ever opened.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const ProfileChoice profile = ParseProfileArguments(arguments);
    if (profile.help) {
        std::fputs(Usage, stdout);
        return 0;
    }
    if (!profile.error.isEmpty()) {
        std::fprintf(stderr, "kadrel: %s\n", profile.error.toLocal8Bit().constData());
        return 2;
    }
    const bool headless = profile.headless;
    if (headless) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qunsetenv("DISPLAY");
        qunsetenv("WAYLAND_DISPLAY");
    }
    KadrelApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);   // the port list may still be open; the main window decides
    // Matches the running window to its desktop entry, and gives it the icon also when the
    // program runs from the build folder, where no icon theme holds it.
    Q_INIT_RESOURCE(app);
    QGuiApplication::setDesktopFileName(QStringLiteral("com.example.Kadrel"));
    QApplication::setWindowIcon(
        QIcon::fromTheme(QStringLiteral("kadrel"), QIcon(QStringLiteral(":/kadrel/kadrel.png"))));

    // A profile gets its own configuration folder, and runs once at a time.
    QString refusal;
    bool heldElsewhere = false;
    if (!profile.name.isEmpty()) {
        configRoots().profile = profile.name;
        LockProfile(configFolder(), profile.name, refusal, &heldElsewhere);
    }
    if (!refusal.isEmpty()) {
        fprintf(stderr, "kadrel: %s\n", refusal.toLocal8Bit().constData());
        if (!headless)
            ShowMessage(MsgKind::Error, refusal);
        // A service manager is told apart that starting again cannot help while the other runs.
        return heldElsewhere ? ProfileInUseExit : 1;
    }

    // What happened, for whoever looks later; without a screen also on standard error.
    EventLog log(EventLog::stateFolder(profile.name), headless);
    eventSink() = [&log](const QString& line) { log.write(line); };
    NoticeBoxes boxes;
    if (headless) {
        seams().showMessage = [](MsgKind kind, const QString& text) { LogEvent(boxLine(kind, text)); };
        seams().showNotice = [](MsgKind kind, const QString& text) {
            LogEvent(boxLine(kind, text));
            return 0;
        };
    } else {
        const auto modal = seams().showMessage;
        seams().showMessage = [modal](MsgKind kind, const QString& text) {
            LogEvent(boxLine(kind, text));
            modal(kind, text);
        };
        seams().showNotice = [&boxes](MsgKind kind, const QString& text) {
            LogEvent(boxLine(kind, text));
            return boxes.show(kind, text);
        };
        seams().dismissNotice = [&boxes](int notice) { boxes.dismiss(notice); };
    }
    LogEvent(QStringLiteral("Start programu%1%2")
                 .arg(profile.name.isEmpty() ? QString() : QStringLiteral(", profil %1").arg(profile.name),
                      headless ? QStringLiteral(", bez ekranu") : QString()));

    auto* form = new TForm1;
    form->Log = &log;
    boxes.setOwner(form);
    // Each form's creation may fail; its failure is reported like any other and start-up goes on.
    auto create = [](auto make) {
        try {
            make();
        } catch (...) {
            if (Form1)
                Form1->HandleException(std::current_exception());
        }
    };
    create([&] { form->FUstawienia = new TFUstawienia(form); });
    create([&] { form->FPomoc = new TFPomoc(form); });
    create([&] { form->FAdresy = new TFAdresy(form); });
    create([&] { form->FormJakieCOM = new TFormJakieCOM(form); });
    // The plan of timed commands runs with the window and without a screen alike.
    create([&] {
        new PlanRunner(*form, planFilePath(configFolder()),
                       EventLog::stateFolder(profile.name) + QStringLiteral("/harmonogram.stan"));
    });

    QObject::connect(form, &TForm1::windowClosed, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    std::unique_ptr<QSocketNotifier> stopSignal;
    if (catchStopSignals()) {
        stopSignal = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
        QObject::connect(stopSignal.get(), &QSocketNotifier::activated, form, [form] {
            char drain[16];
            while (::read(signalPipe[0], drain, sizeof drain) > 0) {
            }
            form->guard([form] { form->ShutDown(); });
            // Out of any nested loop (a box's, the disconnect's wait) at once.
            QCoreApplication::exit(0);
        });
    } else {
        std::fprintf(stderr, "kadrel: SIGTERM i SIGINT nie zamkną portu przed końcem: %s\n", std::strerror(errno));
    }
    if (headless)
        form->guard([form] { form->ConnectAtStart(); });
    else
        form->show();
    const int rc = app.exec();
    stopSignal.reset();
    delete form;
    LogEvent(QStringLiteral("Koniec programu"));
    eventSink() = {};
    log.flush();
    return rc;
}
