#include "widgets/Seams.h"
#include "widgets/NoticeBoxes.h"
#include "files/ConfigPaths.h"
#include "link/Tick.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QThread>
#include <QTime>
#include <QUrl>
#include <time.h>

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
    s.readClockSync = [] { return ::readClockSync(); };
    s.localTimeOfDay = [] { return QTime::currentTime().toString(QStringLiteral("hh:mm:ss")).toStdString(); };
    // An address without a scheme, as a label shows it ("www.example.com/kadrel"), is read as
    // typed by a user: http:// in front.
    s.openUrl = [](const QString& url) { QDesktopServices::openUrl(QUrl::fromUserInput(url)); };
    return s;
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
    resetConfigRoots();
    resetTickPace();
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
