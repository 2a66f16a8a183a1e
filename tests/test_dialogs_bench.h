#pragma once
// A main window on a bench of its own for the dialog tests: a WindowSandbox (sandboxed home,
// empty fake sysfs) and virtual ports (links in the sandbox's port folder) leading to test
// pseudo-terminals on which the test plays the bus. Message boxes are recorded, pauses skipped,
// the browser recorded.
#include <QApplication>
#include <QEventLoop>
#include <QPointer>
#include <QTimer>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/KadrelMain.h"
#include "widgets/Seams.h"
#include "link/Tick.h"
#include "files/ConfigPaths.h"
#include "base/Bytes.h"
#include "widgets/ComComboBox.h"
#include "serial/ComPort.h"
#include "tests/support/Pty.h"
#include "tests/support/WindowSandbox.h"

// Blocks in an event loop for ms (ticks and receptions run meanwhile).
inline void runEventsFor(int ms)
{
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.start(ms);
    loop.exec();
}

// Arms `step` to run inside the next modal loop with the modal dialog. Call it before the call
// that opens the dialog. A dialog the step leaves open is closed after a few seconds, with a
// failure, so a broken test cannot hang.
template <class Dialog>
void whenModal(std::function<void(Dialog&)> step)
{
    QTimer::singleShot(0, [step] {
        auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            ADD_FAILURE() << "no modal dialog of the expected kind is open";
            if (QWidget* other = QApplication::activeModalWidget())
                other->close();
            return;
        }
        QPointer<Dialog> guard(dialog);
        QTimer::singleShot(5000, [guard] {
            if (guard && guard->isVisible()) {
                ADD_FAILURE() << "the dialog was left open";
                guard->close();
            }
        });
        step(*dialog);
    });
}

// The frames in a byte stream from the program ("Z", address, N, N bytes, checksum).
struct WireFrame {
    uint8_t address;
    ByteString data;
};

inline std::vector<WireFrame> splitFrames(const ByteString& bytes)
{
    std::vector<WireFrame> frames;
    size_t i = 0;
    while (i + 4 <= bytes.size()) {
        if (static_cast<uint8_t>(bytes[i]) != 0x5A) {
            ++i;
            continue;
        }
        const size_t n = static_cast<uint8_t>(bytes[i + 2]);
        if (i + 4 + n > bytes.size())
            break;
        frames.push_back({static_cast<uint8_t>(bytes[i + 1]), bytes.substr(i + 3, n)});
        i += 4 + n;
    }
    return frames;
}

// Polls are one-byte frames to clocks 1..4 (or their RTC addresses) whose byte has bits 0-2 clear.
inline int countPolls(const ByteString& bytes)
{
    int polls = 0;
    for (const WireFrame& f : splitFrames(bytes))
        if (f.address >= 1 && f.address <= 0x44 && f.data.size() == 1 && (f.data[0] & 0x07) == 0)
            ++polls;
    return polls;
}

class DialogBench {
public:
    // ports: how many virtual ports the device map lists, "port1" .. "portN" in that order.
    explicit DialogBench(int ports)
    {
        configRoots().virtualPortDir = QString::fromStdString(box_.sandbox.portsDir());
        tickPace().disconnectWaitMs = 5;
        tickPace().intervalMs = 20;
        seams().showMessage = [this](MsgKind, const QString& text) { messages.push_back(text); };
        seams().openUrl = [this](const QString& url) { opened.push_back(url); };
        seams().localTimeOfDay = [] { return std::string("12:34:56"); };
        std::filesystem::create_directories(box_.sandbox.portsDir());
        for (int i = 0; i < ports; ++i)
            addPort();
    }

    ~DialogBench() { window.reset(); }

    // One more virtual port, listed after the others from the next port-list read on.
    TestPty& addPort()
    {
        ptys_.push_back(std::make_unique<TestPty>());
        box_.publishPort(*ptys_.back(), portName(int(ptys_.size())));
        return *ptys_.back();
    }

    std::string portPath(int number) const { return box_.portPath(portName(number)); }

    TestPty& pty(int number) { return *ptys_.at(size_t(number - 1)); }

    TForm1& open()
    {
        window = std::make_unique<TForm1>();
        messages.clear();  // the start-up's own notices (no settings file in the sandbox)
        return *window;
    }

    // Selects the port with that number (1-based, in the selector's order) and clicks "START".
    void connect(int number)
    {
        TForm1& w = *window;
        w.ComCombo->setCurrentIndex(number - 1);
        w.ComComboChange();
        w.Button_polaczClick();
        ASSERT_TRUE(w.ComPort->Connected());
        ASSERT_EQ(w.Link.LinkActive, 1);
    }

    // The message boxes shown, one a line, for failure output.
    std::string messageText() const
    {
        std::string out;
        for (const QString& m : messages)
            out += m.toStdString() + "\n";
        return out;
    }

    std::vector<QString> messages;
    std::vector<QString> opened;
    std::unique_ptr<TForm1> window;

private:
    static std::string portName(int number) { return "port" + std::to_string(number); }

    WindowSandbox box_;  // beeps and pauses go to its recorders, unread here
    std::vector<std::unique_ptr<TestPty>> ptys_;
};
