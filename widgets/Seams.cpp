#include "widgets/Seams.h"
#include "widgets/NoticeBoxes.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QThread>
#include <QTime>
#include <QUrl>
#include <sys/timex.h>
#include <time.h>
#include <unistd.h>

namespace {

Seams defaults()
{
    Seams s;
    s.showMessage = [](MsgKind kind, const QString& text) {
        QMessageBox box(messageIcon(kind), QStringLiteral("Kadrel"), text, QMessageBox::Ok,
                        QApplication::activeWindow());
        box.exec();
    };
    s.beep = [] { QApplication::beep(); };
    s.pause = [](int ms) {
        if (ms > 0)
            QThread::msleep(static_cast<unsigned long>(ms));
    };
    s.chooseFirmwareFile = [](QWidget* parent) {
        return QFileDialog::getOpenFileName(parent, QString(), QString(), QStringLiteral("zfr (*.zfr)"));
    };
    s.wallClockUs = [] {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
    };
    s.readClockSync = [] {
        timex t{};
        ClockSyncReading r;
        const int state = adjtimex(&t);
        if (state < 0)
            return r;
        r.read = true;
        r.state = state;
        r.status = t.status;
        r.maxErrorUs = t.maxerror;
        return r;
    };
    s.localTimeOfDay = [] { return QTime::currentTime().toString(QStringLiteral("hh:mm:ss")).toStdString(); };
    // An address without a scheme, as a label shows it ("www.example.com/kadrel"), is read as
    // typed by a user: http:// in front.
    s.openUrl = [](const QString& url) { QDesktopServices::openUrl(QUrl::fromUserInput(url)); };
    return s;
}

// An XDG base folder from the environment; unset, empty or relative values do not count.
QString xdgFolder(const char* variable)
{
    const QString value = qEnvironmentVariable(variable);
    if (value.isEmpty() || !QDir::isAbsolutePath(value))
        return {};
    return value;
}

} // namespace

Seams& seams()
{
    static Seams instance = defaults();
    return instance;
}

void resetSeams()
{
    seams() = defaults();
}

void ShowMessage(MsgKind kind, const QString& text)
{
    if (seams().showMessage)
        seams().showMessage(kind, text);
}

int ShowNotice(MsgKind kind, const QString& text)
{
    if (seams().showNotice)
        return seams().showNotice(kind, text);
    ShowMessage(kind, text);
    return 0;
}

void DismissNotice(int notice)
{
    if (notice != 0 && seams().dismissNotice)
        seams().dismissNotice(notice);
}

void LogEvent(const QString& line)
{
    if (seams().logEvent)
        seams().logEvent(line);
}

void Beep()
{
    if (seams().beep)
        seams().beep();
}

void Pause(int ms)
{
    if (seams().pause)
        seams().pause(ms);
}

QString configFolder()
{
    QString base = xdgFolder("XDG_CONFIG_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.config");
    const QString folder = base + QStringLiteral("/kadrel");
    return seams().profile.isEmpty() ? folder : folder + QLatin1Char('/') + seams().profile;
}

QString networkPortsPath()
{
    return configFolder() + QStringLiteral("/network-ports");
}

QString settingsFilePath()
{
    if (!seams().settingsPath.isEmpty())
        return seams().settingsPath;
    return configFolder() + QStringLiteral("/z.cf");
}

QString virtualPortFolder()
{
    if (!seams().virtualPortDir.isEmpty())
        return seams().virtualPortDir;
    const QString runtime = xdgFolder("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty())
        return runtime + QStringLiteral("/kadrel/ports");
    return QStringLiteral("/tmp/kadrel-%1/ports").arg(getuid());
}

QString portIdentityPath()
{
    return configFolder() + QStringLiteral("/port-id");
}

QString portOptionsPath()
{
    return configFolder() + QStringLiteral("/port-options");
}

bool clockSynchronised(const ClockSyncReading& reading)
{
    if (!reading.read)
        return true;
    return reading.state != TIME_ERROR && (reading.status & STA_UNSYNC) == 0 && reading.maxErrorUs < 500000;
}
