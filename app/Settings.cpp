// The main window's settings file: reading it at creation, writing it on request, and the
// tagged-file loader it shares with the firmware dialog.
#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>

#include <algorithm>

#include "app/KadrelMain.h"
#include "widgets/Seams.h"
#include "files/ConfigPaths.h"
#include "files/SettingsFile.h"
#include "widgets/ComComboBox.h"

namespace {

std::string localPath(const QString& path) { return QFile::encodeName(path).toStdString(); }

} // namespace

bool TForm1::LoadTaggedFile(TDataFile& file, const char* tag)
{
    const int64_t size = file.FileSize();
    // The callers refuse such sizes with their own words; this only keeps the buffer whole.
    if (size < static_cast<int64_t>(SettingsFile::MinFileSize) || size > static_cast<int64_t>(ConfigBuffer.size())) {
        file.Close();
        ShowNotice(MsgKind::Error, QString::fromStdString(sizeRefusal(size, SettingsFile::MinFileSize,
                                                                       ConfigBuffer.size(), "Plik")));
        return false;
    }
    file.ReadBlock(ConfigBuffer.data(), static_cast<size_t>(size));
    const TaggedCheck check = checkTaggedImage(ConfigBuffer.data(), static_cast<size_t>(size), tag);
    if (!check.tagOk)
        ShowNotice(MsgKind::Error, QStringLiteral("Zly format pliku"));
    if (!check.checkByteOk) {
        Beep();
        ShowNotice(MsgKind::Error, QStringLiteral("Bląd CRC pliku konfiguracji"));
    }
    file.Close();
    return check.ok();
}

void TForm1::LoadSettings()
{
    DataFile.Assign(localPath(settingsFilePath()));
    if (!DataFile.Exists()) {
        ShowNotice(MsgKind::Plain, QStringLiteral("Brak pliku z konfiguracja"));
        return;
    }
    DataFile.Reset();
    const int64_t size = DataFile.FileSize();
    const std::string refusal = sizeRefusal(size, SettingsFile::MinFileSize, SettingsFile::MaxFileSize,
                                            "Plik konfiguracji");
    if (!refusal.empty()) {
        DataFile.Close();
        ShowNotice(MsgKind::Error, QString::fromStdString(refusal));
        return;
    }
    if (!LoadTaggedFile(DataFile, SettingsFile::Tag))
        return;
    const auto values = SettingsFile::parse(ConfigBuffer.data(), static_cast<size_t>(size));
    if (!values) {
        // Shorter than its own fields: damaged, and none of it is used.
        ShowNotice(MsgKind::Error, QStringLiteral("Zly format pliku"));
        return;
    }

    {
        // The stored index only selects; the port name is taken when connecting.
        const QSignalBlocker quiet(ComCombo);
        ComCombo->setCurrentIndex(values->portIndex >= 0 && values->portIndex < ComCombo->count()
                                      ? values->portIndex : -1);
    }
    // The same adapter under another name (ttyUSB0 and ttyUSB1 swapped at boot) wins over the index.
    applyStoredPortIdentity();
    for (int n = 1; n <= 4; ++n)
        SetClockName(n, QString::fromStdString(values->clocks[n - 1].name));
    for (int n = 1; n <= 4; ++n) {
        const bool active = values->clocks[n - 1].active;
        // The boxes act on every change; the loader does its own showing and colouring.
        const QSignalBlocker quiet(Clocks[n].boxActiv);
        Clocks[n].boxActiv->setChecked(active);
        if (active)
            ShowClock(n);
        else
            HideClock(n);
    }
    for (int n = 1; n <= 4; ++n) Clocks[n].boxDol->setChecked(values->clocks[n - 1].countDown);
    for (int n = 1; n <= 4; ++n) {
        const QSignalBlocker quiet(Clocks[n].wbox);
        Clocks[n].wbox->setChecked(values->clocks[n - 1].displayOff);
    }
    for (int n = 1; n <= 4; ++n)
        Clocks[n].jasnosc->setValue(std::min<int>(values->clocks[n - 1].brightness, 3));
    // White, not the grey of a click on the box: the field keeps it until the box is clicked.
    for (int n = 1; n <= 4; ++n)
        SetFontColor(Clocks[n].czas, Clocks[n].wbox->isChecked() ? NamedColor::clWhite : NamedColor::clBlue);
    for (int n = 1; n <= 4; ++n) {
        const bool rtc = values->clocks[n - 1].rtc;
        Link.RtcMode[n] = rtc ? 1 : 0;
        SetFontColor(Clocks[n].btnZ, rtc ? NamedColor::clRed : NamedColor::clSilver);
        SetFontColor(Clocks[n].btnS, rtc ? NamedColor::clSilver : NamedColor::clRed);
    }
    BoxAuto->setChecked(values->autoConnect);
}

void TForm1::SaveSettings()
{
    SettingsFile::Values v;
    v.portIndex = ComCombo->currentIndex();
    for (int n = 1; n <= 4; ++n) {
        SettingsFile::Clock& c = v.clocks[n - 1];
        c.name = Clocks[n].name->text().toStdString();
        c.active = Clocks[n].boxActiv->isChecked();
        c.countDown = Clocks[n].boxDol->isChecked();
        c.displayOff = Clocks[n].wbox->isChecked();
        c.brightness = static_cast<uint8_t>(Clocks[n].jasnosc->value());
        c.rtc = Link.RtcMode[n] == 1;
    }
    v.autoConnect = BoxAuto->isChecked();

    const ByteString image = SettingsFile::build(v);  // at most 27 + 4 × 255 bytes
    std::copy(image.begin(), image.end(), reinterpret_cast<char*>(ConfigBuffer.data()));
    // A failure is an EInOutError for the application's handler; the old file stays as it was.
    WriteBlock(localPath(settingsFilePath()), ConfigBuffer.data(), image.size());
    rememberPortIdentity();
    ShowMessage(MsgKind::Information, QStringLiteral("Zapisano plik z konfiguracją"));
}
