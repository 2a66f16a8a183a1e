#pragma once
// Shared set-up of the main-window tests: a sandboxed home, an empty fake sysfs, virtual ports
// that are links to test pseudo-terminals, and recorders in place of the message boxes, the beep
// and the blocking pause.
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QMenu>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "app/KadrelMain.h"
#include "widgets/LinkGauge.h"
#include "widgets/Seams.h"
#include "widgets/ComComboBox.h"
#include "serial/ComPort.h"
#include "tests/support/Pty.h"
#include "tests/support/TempDir.h"
#include "tests/support/WindowSandbox.h"

struct ShownMessage {
    MsgKind kind;
    QString text;
};

inline std::ostream& operator<<(std::ostream& os, const QString& s)
{
    return os << s.toStdString();
}

// The sandbox records the pauses; messages are kept with their kind, beeps counted.
class WindowTest : public ::testing::Test, protected WindowSandbox {
protected:
    void SetUp() override
    {
        seams().showMessage = [this](MsgKind kind, const QString& text) {
            messages.push_back({kind, text});
            if (onMessage)
                onMessage(kind, text);
        };
        seams().beep = [this] { ++beeps; };
        seams().localTimeOfDay = [this] { return timeOfDay; };
    }

    void TearDown() override { form.reset(); }

    // A virtual port named `name` whose link points at a fresh pseudo-terminal.
    TestPty& addPort(const std::string& name)
    {
        ptys.push_back(std::make_unique<TestPty>());
        publishPort(*ptys.back(), name);
        return *ptys.back();
    }

    // Creates the window; the tick is stopped so tests drive it by calling TimerTimer().
    TForm1& createWindow(bool stopTimer = true)
    {
        form = std::make_unique<TForm1>();
        if (stopTimer)
            form->Timer->stop();
        return *form;
    }

    // "START" with the selected port; expects the window to come up connected.
    void connectWindow()
    {
        form->Button_polacz->click();
        ASSERT_TRUE(form->ComPort->Connected());
        ASSERT_EQ(form->Link.LinkActive, 1);
    }

    bool connectedState() const
    {
        return form->Edit_status->text() == QStringLiteral("POŁĄCZONY") && form->Link.LinkActive == 1 &&
               form->ComPort->Connected();
    }

    bool disconnectedState() const
    {
        return form->Edit_status->text() == QStringLiteral("ROZŁĄCZONY") &&
               BackColor(form->Edit_status) == NamedColor::clRed && form->Link.LinkActive == 0 &&
               !form->ComPort->Connected() && form->ComCombo->isEnabled() && form->GroupZegary->isHidden() &&
               !form->Opcje1->isEnabled();
    }

    // Runs the event loop until `done` holds or the time is up.
    template <class Pred>
    static bool waitFor(Pred done, int ms = 2000)
    {
        return QTest::qWaitFor(done, ms);
    }

    // Lets the window's own timer tick until `done` holds.
    template <class Pred>
    bool tickUntil(Pred done)
    {
        form->Timer->start();
        const bool ok = waitFor(done);
        form->Timer->stop();
        return ok;
    }

    std::vector<ShownMessage> errors() const
    {
        std::vector<ShownMessage> out;
        for (const auto& m : messages)
            if (m.kind == MsgKind::Error)
                out.push_back(m);
        return out;
    }

    std::vector<std::unique_ptr<TestPty>> ptys;
    std::unique_ptr<TForm1> form;

    std::vector<ShownMessage> messages;
    std::function<void(MsgKind, const QString&)> onMessage;
    int beeps = 0;
    std::string timeOfDay = "12:34:56";
};

// A window connected to one virtual port "BUS", its tick stopped, the start-up messages cleared.
class ConnectedWindowTest : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        bus = &addPort("BUS");
        createWindow();
        connectWindow();
        messages.clear();
        bus->drain(std::chrono::milliseconds(10));
    }

    // What the window wrote, waiting for `count` bytes.
    ByteString sent(size_t count) { return bus->read(count, std::chrono::milliseconds(1000)); }

    TestPty* bus = nullptr;
};
