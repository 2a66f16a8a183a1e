// needs: qt
// Reading the settings file at window creation and writing it from the menu, with the window's
// widgets, message boxes and beeps.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>

#include <csignal>
#include <filesystem>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>

#include "app/KadrelMain.h"
#include "widgets/Seams.h"
#include "files/SettingsFile.h"
#include "base/Exceptions.h"
#include "widgets/ComComboBox.h"
#include "tests/support/Pty.h"
#include "tests/support/TempDir.h"
#include "tests/support/WindowSandbox.h"

namespace fs = std::filesystem;

namespace {

ByteString designImage()
{
    SettingsFile::Values v;
    for (int i = 0; i < 4; ++i) v.clocks[i].name = "Zegar " + std::to_string(i + 1);
    return SettingsFile::build(v);
}

// Fixes the check byte after a change.
ByteString sealed(ByteString image)
{
    image.back() = static_cast<char>(xorBytes(reinterpret_cast<const uint8_t*>(image.data()), image.size() - 1));
    return image;
}

// No hardware ports; messages and beeps recorded in `events`.
class SettingsWindow : public ::testing::Test, protected WindowSandbox {
protected:
    void SetUp() override { fs::create_directories(sandbox.portsDir()); }

    // Ports "a", "b", ... in the device map, each a character device.
    void listPorts(int count)
    {
        for (int i = 0; i < count; ++i)
            publishPort("/dev/null", std::string(1, static_cast<char>('a' + i)));
    }
    std::unique_ptr<TForm1> makeForm()
    {
        auto form = std::make_unique<TForm1>();
        QCoreApplication::processEvents();
        return form;
    }
    void expectDesignValues(TForm1& f)
    {
        for (int n = 1; n <= 4; ++n) {
            SCOPED_TRACE(n);
            EXPECT_EQ(f.Clocks[n].name->text(), QStringLiteral("Zegar %1").arg(n));
            EXPECT_TRUE(f.Clocks[n].boxActiv->isChecked());
            EXPECT_TRUE(f.Clocks[n].boxDol->isChecked());
            EXPECT_FALSE(f.Clocks[n].wbox->isChecked());
            EXPECT_EQ(f.Clocks[n].jasnosc->value(), 3);
            EXPECT_EQ(f.Link.RtcMode[n], 0);
        }
        EXPECT_FALSE(f.BoxAuto->isChecked());
    }
};

} // namespace

TEST_F(SettingsWindow, NoFileKeepsTheDesignValues)
{
    listPorts(1);
    auto form = makeForm();
    EXPECT_EQ(events, QStringList{"plain: Brak pliku z konfiguracja"});
    expectDesignValues(*form);
    EXPECT_EQ(form->ComCombo->currentIndex(), 0);
}

TEST_F(SettingsWindow, DesignValuesSaveAsThe55ByteImage)
{
    listPorts(2);
    auto form = makeForm();
    events.clear();
    form->SaveSettings();  // the kadrel folder does not exist yet
    EXPECT_EQ(events, QStringList{"information: Zapisano plik z konfiguracją"});
    const std::string file = readFile(sandbox.settingsFile());
    ASSERT_EQ(file.size(), 55u);
    EXPECT_EQ(file, designImage());
    EXPECT_EQ(static_cast<uint8_t>(file.back()), 0x7B);
    EXPECT_EQ(std::string(form->ConfigBuffer.begin(), form->ConfigBuffer.begin() + 55), file);
}

TEST_F(SettingsWindow, EmptyNamesSaveAs27Bytes)
{
    listPorts(1);
    auto form = makeForm();
    for (int n = 1; n <= 4; ++n) form->Clocks[n].name->clear();
    form->SaveSettings();
    EXPECT_EQ(readFile(sandbox.settingsFile()).size(), 27u);
}

TEST_F(SettingsWindow, ASavedFileReadsBack)
{
    listPorts(3);
    {
        auto form = makeForm();
        form->ComCombo->setCurrentIndex(1);
        const QString names[] = {QStringLiteral("Łódź"), QString(), QStringLiteral("Hala ŻĄĘ"), QStringLiteral("12345678")};
        for (int n = 1; n <= 4; ++n) form->Clocks[n].name->setText(names[n - 1]);
        form->Clocks[2].boxActiv->setChecked(false);
        form->ZboxActivClick(2);
        form->Clocks[1].boxDol->setChecked(false);
        form->Clocks[3].wbox->setChecked(true);
        form->WboxClick(3);
        EXPECT_EQ(FontColor(form->Clocks[3].czas), NamedColor::clGray);
        for (int n = 1; n <= 4; ++n) form->Clocks[n].jasnosc->setValue(n - 1);
        form->BtnZClick(2);
        form->BtnZClick(4);
        form->SaveSettings();
    }
    events.clear();
    auto form = makeForm();
    EXPECT_TRUE(events.isEmpty()) << events.join(" | ").toStdString();
    EXPECT_EQ(form->ComCombo->currentIndex(), 1);
    EXPECT_EQ(form->Clocks[1].name->text(), QStringLiteral("Łódź"));
    EXPECT_EQ(form->Clocks[2].name->text(), QString());
    EXPECT_EQ(form->Clocks[3].name->text(), QStringLiteral("Hala ŻĄĘ"));
    EXPECT_EQ(form->Clocks[4].name->text(), QStringLiteral("12345678"));
    EXPECT_FALSE(form->Clocks[2].boxActiv->isChecked());
    EXPECT_TRUE(form->Clocks[2].czas->isHidden());
    EXPECT_FALSE(form->Clocks[1].czas->isHidden());
    EXPECT_FALSE(form->Clocks[1].boxDol->isChecked());
    EXPECT_TRUE(form->Clocks[2].boxDol->isChecked());
    EXPECT_TRUE(form->Clocks[3].wbox->isChecked());
    // White after loading, not the grey of the click.
    EXPECT_EQ(FontColor(form->Clocks[3].czas), NamedColor::clWhite);
    EXPECT_EQ(FontColor(form->Clocks[1].czas), NamedColor::clBlue);
    for (int n = 1; n <= 4; ++n) EXPECT_EQ(form->Clocks[n].jasnosc->value(), n - 1);
    EXPECT_EQ(form->Link.RtcMode, (std::array<uint8_t, 5>{0, 0, 1, 0, 1}));
    EXPECT_EQ(FontColor(form->Clocks[2].btnZ), NamedColor::clRed);
    EXPECT_EQ(FontColor(form->Clocks[2].btnS), NamedColor::clSilver);
    EXPECT_EQ(FontColor(form->Clocks[1].btnZ), NamedColor::clSilver);
    EXPECT_EQ(FontColor(form->Clocks[1].btnS), NamedColor::clRed);
    // The name in the file is Windows-1250.
    const std::string file = readFile(sandbox.settingsFile());
    EXPECT_EQ(file.substr(4, 5), std::string("\x04\xA3\xF3\x64\x9F"));
}

TEST_F(SettingsWindow, DamagedFilesShowTheirBoxesAndApplyNothing)
{
    ByteString renamed = designImage();
    renamed[5] = 'X';  // "Xegar 1": applied only if the file were taken
    ByteString lastByte = renamed;
    ByteString capital = sealed(renamed);
    capital[0] = 'Z';
    struct Case { const char* what; ByteString file; QStringList events; };
    const Case cases[] = {
        {"last byte changed", lastByte, {"beep", "error: Bląd CRC pliku konfiguracji"}},
        {"Z for z", capital, {"error: Zly format pliku", "beep", "error: Bląd CRC pliku konfiguracji"}},
        {"shorter than its fields", sealed(ByteString("zcf") + '\0'), {"error: Zly format pliku"}},
        {"names cut off", sealed(designImage().substr(0, 30) + '\0'), {"error: Zly format pliku"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(sandbox.settingsFile(), c.file);
        events.clear();
        auto form = makeForm();
        EXPECT_EQ(events, c.events);
        expectDesignValues(*form);
    }
}

TEST_F(SettingsWindow, FilesOfImpossibleSizeAreRefusedUnread)
{
    for (const size_t size : {size_t{0}, size_t{1}, size_t{8193}}) {
        SCOPED_TRACE(size);
        writeFile(sandbox.settingsFile(), std::string(size, 'z'));
        events.clear();
        auto form = makeForm();
        ASSERT_EQ(events.size(), 1);
        EXPECT_TRUE(events[0].startsWith("error: Plik konfiguracji ma nieprawidłowy rozmiar: "
                                          + QString::number(size) + " B")) << events[0].toStdString();
        EXPECT_TRUE(std::all_of(form->ConfigBuffer.begin(), form->ConfigBuffer.end(), [](uint8_t b) { return b == 0; }));
        expectDesignValues(*form);
    }
}

TEST_F(SettingsWindow, ModeByteBrightnessAndFlagsAsRead)
{
    listPorts(1);
    ByteString image = designImage();
    const size_t p = 55 - 19;
    image[p + 16] = static_cast<char>(0xA0);
    image[p + 12] = 7;
    image[p + 13] = 0;
    image[p + 2] = 0;   // clock 3 inactive
    image[p + 11] = 5;  // clock 4 display off: any non-zero byte
    writeFile(sandbox.settingsFile(), sealed(image));
    auto form = makeForm();
    EXPECT_TRUE(events.isEmpty()) << events.join(" | ").toStdString();
    EXPECT_EQ(form->Link.RtcMode, (std::array<uint8_t, 5>{0, 0, 1, 0, 1}));
    for (int n = 1; n <= 4; ++n) {
        SCOPED_TRACE(n);
        const bool rtc = n == 2 || n == 4;
        EXPECT_EQ(FontColor(form->Clocks[n].btnZ), rtc ? NamedColor::clRed : NamedColor::clSilver);
        EXPECT_EQ(FontColor(form->Clocks[n].btnS), rtc ? NamedColor::clSilver : NamedColor::clRed);
    }
    EXPECT_EQ(form->Clocks[1].jasnosc->value(), 3);
    EXPECT_EQ(form->Clocks[2].jasnosc->value(), 0);
    EXPECT_FALSE(form->Clocks[3].boxActiv->isChecked());
    EXPECT_TRUE(form->Clocks[3].jasnosc->isHidden());
    EXPECT_TRUE(form->Clocks[4].wbox->isChecked());
    EXPECT_EQ(FontColor(form->Clocks[4].czas), NamedColor::clWhite);
}

TEST_F(SettingsWindow, ANameLongerThanTypingAllowsLoadsAndSavesWhole)
{
    listPorts(1);
    SettingsFile::Values values;
    for (int i = 0; i < 4; ++i)
        values.clocks[i].name = "Zegar " + std::to_string(i + 1);
    values.clocks[0].name = "Hala sportowa nr 1";
    const ByteString image = SettingsFile::build(values);
    writeFile(sandbox.settingsFile(), image);
    auto form = makeForm();
    EXPECT_TRUE(events.isEmpty()) << events.join(" | ").toStdString();
    EXPECT_EQ(form->Clocks[1].name->text(), QStringLiteral("Hala sportowa nr 1"));
    form->SaveSettings();
    EXPECT_EQ(readFile(sandbox.settingsFile()), image);
}

TEST_F(SettingsWindow, AStoredPortIndexBeyondTheListSelectsNothing)
{
    listPorts(2);
    for (const uint8_t index : {uint8_t{2}, uint8_t{0xFF}}) {
        SCOPED_TRACE(index);
        ByteString image = designImage();
        image[3] = static_cast<char>(index);
        image[55 - 2] = 1;  // auto-connect
        writeFile(sandbox.settingsFile(), sealed(image));
        events.clear();
        auto form = makeForm();
        EXPECT_EQ(form->ComCombo->currentIndex(), -1);
        EXPECT_TRUE(form->BoxAuto->isChecked());
        EXPECT_TRUE(form->Button_polacz->isEnabled());
        form->show();  // the auto-connect finds no port and only waits
        QCoreApplication::processEvents();
        EXPECT_TRUE(events.isEmpty()) << events.join(" | ").toStdString();
        EXPECT_EQ(form->Edit_status->text(), QStringLiteral("ROZŁĄCZONY"));
        EXPECT_EQ(form->Link.LinkActive, 0);
    }
}

TEST_F(SettingsWindow, AutoConnectTakesTheStoredPortWhenShown)
{
    TestPty bus;
    publishPort("/dev/null", "a");
    publishPort(bus, "b");
    ByteString image = designImage();
    image[3] = 1;
    image[55 - 2] = 1;
    writeFile(sandbox.settingsFile(), sealed(image));
    auto form = makeForm();
    EXPECT_EQ(form->ComCombo->currentIndex(), 1);
    EXPECT_EQ(form->Edit_status->text(), QStringLiteral("ROZŁĄCZONY"));
    form->show();
    QCoreApplication::processEvents();
    EXPECT_TRUE(events.isEmpty()) << events.join(" | ").toStdString();
    EXPECT_EQ(form->Edit_status->text(), QStringLiteral("POŁĄCZONY"));
    EXPECT_EQ(form->Link.LinkActive, 1);
    form->Disconnect();
}

// The write of the new image fails half-way (RLIMIT_FSIZE holds for root too): the error goes
// to the application's handler, no confirmation is shown, and the old file is untouched.
TEST_F(SettingsWindow, AFailingSaveKeepsTheOldFile)
{
    listPorts(1);
    auto form = makeForm();
    const std::string old = sealed(designImage().replace(5, 1, "Y"));
    writeFile(sandbox.settingsFile(), old);
    form->Clocks[1].name->setText(QStringLiteral("Nowa"));
    events.clear();

    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 8;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    QMetaObject::invokeMethod(form.get(), [&] { form->Zapiszustawienia1Click(); }, Qt::QueuedConnection);
    QCoreApplication::processEvents();
    setrlimit(RLIMIT_FSIZE, &saved);

    EXPECT_EQ(readFile(sandbox.settingsFile()), old);
    ASSERT_FALSE(events.isEmpty());
    EXPECT_FALSE(events.contains("information: Zapisano plik z konfiguracją"));
    EXPECT_TRUE(events.filter("error: ").size() >= 1) << events.join(" | ").toStdString();
    EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(sandbox.settingsFile()).parent_path()),
                            fs::directory_iterator()), 1);
}

TEST_F(SettingsWindow, AFolderInTheFilesPlaceFailsTheSave)
{
    listPorts(1);
    auto form = makeForm();
    fs::create_directories(sandbox.settingsFile());
    events.clear();
    EXPECT_THROW(form->SaveSettings(), EInOutError);
    EXPECT_TRUE(events.isEmpty());
    EXPECT_TRUE(fs::is_directory(sandbox.settingsFile()));
}

TEST_F(SettingsWindow, AFileThatCannotBeOpenedIsReportedAndNothingApplied)
{
    fs::create_directories(sandbox.settingsFile());  // exists, but no file can be read there
    auto form = makeForm();
    ASSERT_EQ(events.size(), 1) << events.join(" | ").toStdString();
    EXPECT_TRUE(events[0].startsWith("error: ")) << events[0].toStdString();
    EXPECT_TRUE(events[0].contains(QString::fromStdString(sandbox.settingsFile()))) << events[0].toStdString();
    expectDesignValues(*form);
}

// A FIFO in the file's place would hold window creation for ever waiting for a writer.
TEST_F(SettingsWindow, AFifoInTheFilesPlaceIsRefusedWithoutWaiting)
{
    fs::create_directories(fs::path(sandbox.settingsFile()).parent_path());
    ASSERT_EQ(mkfifo(sandbox.settingsFile().c_str(), 0600), 0);
    auto form = makeForm();
    ASSERT_EQ(events.size(), 1) << events.join(" | ").toStdString();
    EXPECT_TRUE(events[0].startsWith("error: Nie można otworzyć pliku ")) << events[0].toStdString();
    EXPECT_TRUE(events[0].endsWith(": to nie jest zwykły plik")) << events[0].toStdString();
    expectDesignValues(*form);
}
