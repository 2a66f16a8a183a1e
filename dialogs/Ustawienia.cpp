#include "dialogs/Ustawienia.h"

#include <QCoreApplication>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QTimer>
#include <QScopeGuard>

#include "widgets/AccessibleNames.h"
#include "files/DataFile.h"
#include "dialogs/DialogHosts.h"
#include "link/LinkState.h"
#include "widgets/Seams.h"
#include "link/Tick.h"
#include "files/SettingsFile.h"
#include "widgets/TextFit.h"
#include "widgets/StayCentred.h"
#include "serial/ComPort.h"

uint16_t TFUstawienia::ImageSize = 0;

// The dialog's side of the transfer: frames through the main window, waits in the event loop.
class TFUstawienia::Host : public Firmware::Host {
public:
    explicit Host(TFUstawienia& dialog) : d_(dialog) {}

    void sendFrame(uint8_t address, const ByteString& data) override { d_.form_->SendFrame(address, data); }
    void serviceMessages() override { QCoreApplication::processEvents(); }
    // Receptions, the main window's tick and the dialog's watchdog all wake this.
    void waitForEvents() override { QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents); }
    void pause(int ms) override { Pause(ms); }
    void setGauge(int percent) override { d_.BarBoot->setValue(percent); }
    void warnKeepPowered() override
    {
        Beep();
        ShowMessage(MsgKind::Warning, QStringLiteral("NIE WYŁĄCZAJ ZEGARA Z ZASILANIA"));
    }
    void reportNoAnswer() override
    {
        Beep();
        ShowMessage(MsgKind::Error, QStringLiteral("Brak odpowiedzi, aktualizacja nieudana"));
    }
    void reportFinished() override
    {
        ShowMessage(MsgKind::Information, QStringLiteral("Aktualizacja zakonczona"));
    }

private:
    TFUstawienia& d_;
};

TFUstawienia::TFUstawienia(FirmwareHost* owner) : QDialog(owner->hostWindow()), form_(owner)
{
    setObjectName(QStringLiteral("FUstawienia"));
    setWindowTitle(QStringLiteral("Aktualizacja"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
                   | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(193, 169);

    Ustawienia = new QFrame(this);
    Ustawienia->setObjectName(QStringLiteral("Ustawienia"));
    Ustawienia->setGeometry(0, 0, 193, 169);

    Label1 = new QLabel(QStringLiteral("Adres Zegara do aktualizacji"), Ustawienia);
    Label1->setObjectName(QStringLiteral("Label1"));
    // The heading takes the dialog's whole width, and a smaller font where even that is short.
    Label1->setGeometry(8, 8, 177, 17);
    shrinkToFit(Label1);
    for (int n = 1; n <= 4; ++n) {
        Radio[n] = new QRadioButton(QString::number(n), Ustawienia);
        Radio[n]->setObjectName(QStringLiteral("Radio%1").arg(n));
        Radio[n]->setGeometry(16 + (n - 1) * 42, 32, 38, 17);
    }
    Radio[1]->setChecked(true);
    LabelNazwaPliku = new QLabel(Ustawienia);
    LabelNazwaPliku->setObjectName(QStringLiteral("LabelNazwaPliku"));
    // The room between the radio buttons and the buttons: a long path takes several lines.
    LabelNazwaPliku->setGeometry(8, 53, 177, 44);
    Button1 = new QPushButton(QStringLiteral("Plik"), Ustawienia);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(16, 100, 75, 25);
    Button1->setAutoDefault(false);
    ButtonStart = new QPushButton(QStringLiteral("Start"), Ustawienia);
    ButtonStart->setObjectName(QStringLiteral("ButtonStart"));
    ButtonStart->setGeometry(102, 100, 75, 25);
    ButtonStart->setAutoDefault(false);
    ButtonStart->setEnabled(false);
    BarBoot = new QProgressBar(Ustawienia);
    BarBoot->setObjectName(QStringLiteral("BarBoot"));
    BarBoot->setGeometry(16, 140, 161, 17);
    BarBoot->setRange(0, 100);
    BarBoot->setValue(0);
    BarBoot->setTextVisible(false);
    BarBoot->setStyleSheet(QStringLiteral(
        "QProgressBar { border: 1px solid #808080; background: #FFFFFF; }"
        "QProgressBar::chunk { background-color: #000080; }"));

    // What a handler raises goes to the window's handler here, not through Qt's frames.
    connect(Button1, &QPushButton::clicked, this, [this] { form_->guard([this] { Button1Click(); }); });
    connect(ButtonStart, &QPushButton::clicked, this, [this] { form_->guard([this] { ButtonStartClick(); }); });
    new StayCentred(this);

    // A dialog opened from inside the tick's own event handling stops that timer (Qt does not
    // re-enter a timer's handler), and with it the count-down of the acknowledgement wait. The
    // watchdog notices ticks that stop coming and counts down in their place.
    watchdog_ = new QTimer(this);
    watchdog_->setTimerType(Qt::PreciseTimer);
    connect(watchdog_, &QTimer::timeout, this, [this] { watchTimeout(); });
    if (form_->tickTimer())
        connect(form_->tickTimer(), &QTimer::timeout, this, [this] { stalledWatches_ = 0; });

    for (int n = 1; n <= 4; ++n)
        nameAfterCaption(Radio[n], QStringLiteral("Adres zegara"));
    LabelNazwaPliku->setAccessibleName(QStringLiteral("Plik firmware"));
    const QString update = QStringLiteral("Aktualizacja firmware");
    nameAfterCaption(Button1, update);
    nameAfterCaption(ButtonStart, update);
    nameField(BarBoot, update, QStringLiteral("postęp"));
    FormCreate();
}

TFUstawienia::~TFUstawienia() = default;

void TFUstawienia::FormCreate()
{
    LabelNazwaPliku->clear();
    form_->PausePolling();
}

void TFUstawienia::FormClose()
{
    if (closed_)
        return;
    closed_ = true;
    form_->ResumePolling();
}

void TFUstawienia::done(int result)
{
    // A close request while blocks are on the way waits for the transfer's end.
    if (transferring_) {
        closePending_ = true;
        return;
    }
    FormClose();
    QDialog::done(result);
}

void TFUstawienia::showEvent(QShowEvent* event)
{
    if (!event->spontaneous() && parentWidget())
        StayCentred::centre(this, parentWidget()->window());
    QDialog::showEvent(event);
}

void TFUstawienia::Button1Click()
{
    if (transferring_)
        return;
    const QString path = seams().chooseFirmwareFile ? seams().chooseFirmwareFile(this) : QString();
    if (path.isEmpty())
        return;
    showPath(LabelNazwaPliku, path, QStringLiteral("Plik firmware"));
    // Whatever follows, the image shown is no longer the one in the buffer until it loads.
    ButtonStart->setEnabled(false);

    TDataFile& file = form_->dataFile();
    file.Assign(QFile::encodeName(path).toStdString());
    file.Reset();  // an open failure reaches the application's handler
    const int64_t size = file.FileSize();
    const std::string refusal = sizeRefusal(size, Firmware::MinFileSize, Firmware::MaxFileSize, "Plik firmware");
    if (!refusal.empty()) {
        file.Close();
        ShowMessage(MsgKind::Error, QString::fromStdString(refusal));
        return;
    }
    ImageSize = static_cast<uint16_t>(size);
    if (form_->LoadTaggedFile(file, Firmware::Tag))
        ButtonStart->setEnabled(true);
}

void TFUstawienia::ButtonStartClick()
{
    if (transferring_ || ImageSize < Firmware::MinFileSize || ImageSize > Firmware::MaxFileSize)
        return;
    if (!form_->portOpen()) {
        // The adapter was lost while the dialog was open.
        ShowMessage(MsgKind::Error, QStringLiteral("Port COM niedostępny: połączenie zostało przerwane, "
                                                   "aktualizacja nie została rozpoczęta."));
        return;
    }
    int clock = 1;
    for (int n = 1; n <= 4; ++n)
        if (Radio[n]->isChecked()) clock = n;

    // No new file and no second transfer while this one runs; both come back if it is cut short
    // by an exception, and a close asked for meanwhile is carried out then.
    {
        transferring_ = true;
        Button1->setEnabled(false);
        ButtonStart->setEnabled(false);
        stalledWatches_ = 0;
        watchdog_->start(form_->tickTimer() ? form_->tickTimer()->interval() : tickPace().intervalMs);
        const auto running = qScopeGuard([this] {
            watchdog_->stop();
            transferring_ = false;
            Button1->setEnabled(true);
            ButtonStart->setEnabled(true);
            if (closePending_)
                QMetaObject::invokeMethod(this, [this] { reject(); }, Qt::QueuedConnection);
        });
        Host host(*this);
        lastResult_ = Firmware::transfer(form_->linkState(), host, form_->configBuffer(), ImageSize, clock);
        closePending_ = false;  // the dialog closes now in any case
    }
    done(QDialog::Accepted);
}

void TFUstawienia::watchTimeout()
{
    uint16_t& ticks = form_->linkState().TimeoutTicks;
    // Three intervals without a tick: the main window's timer is held up; count in its place.
    if (++stalledWatches_ >= 3 && ticks > 0)
        --ticks;
}
