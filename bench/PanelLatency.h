#pragma once
// The reply-to-panel measurement of the benchmarks: a responder thread answers each poll on the
// pty's master side with a reply whose time differs every time, and the panel's text change is
// matched to the moment the reply's last byte was written.
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/KadrelMain.h"
#include "widgets/Seams.h"
#include "files/ConfigPaths.h"
#include "bench/BenchSupport.h"
#include "link/Frame.h"

namespace bench {

// Runs the application's event loop for SECONDS with the main window, living in HOME with no
// hardware ports, connected to its first listed port, whose master side is MASTER; returns each
// shown reply's latency in milliseconds.
inline std::vector<double> replyToPanel(const Home& home, int master, int seconds)
{
    resetSeams();
    seams().showMessage = [](MsgKind, const QString& text) { std::fprintf(stderr, "box: %s\n", qPrintable(text)); };
    seams().beep = [] {};
    configRoots().sysfsRoot = QString::fromStdString((home.root / "nosys").string());
    auto form = std::make_unique<TForm1>();
    form->Button_polacz->click();

    std::mutex mutex;
    std::map<std::string, int64_t> written;
    std::vector<double> latencies;
    std::atomic<bool> stop{false};
    std::thread responder([&] {
        int counter = 0;
        ByteString pending;
        while (!stop) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            char buf[256];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0)
                continue;
            pending.append(buf, static_cast<size_t>(n));
            while (pending.size() >= 4) {
                const size_t len = byteAt(pending, 2) + 4u;
                if (byteAt(pending, 0) != Frame::StartByte) { pending.erase(0, 1); continue; }
                if (pending.size() < len) break;
                const uint8_t address = byteAt(pending, 1);
                pending.erase(0, len);
                if (address < 1 || address > 4 || len != 5)
                    continue;
                ++counter;
                const int mm = (counter / 60) % 100, ss = counter % 60;
                ByteString data;
                data += static_cast<char>((mm / 10) << 4 | (mm % 10));
                data += static_cast<char>((ss / 10) << 4 | (ss % 10));
                data += "\x03\x39";
                const ByteString reply = Frame::build(address, data);
                char text[16];
                std::snprintf(text, sizeof text, "%d|%d%d:%d%d", address, mm / 10, mm % 10, ss / 10, ss % 10);
                std::lock_guard<std::mutex> lock(mutex);
                if (::write(master, reply.data(), reply.size()) == static_cast<ssize_t>(reply.size()))
                    written[text] = nowMicros();
            }
        }
    });
    for (int n = 1; n <= 4; ++n) {
        QObject::connect(form->Clocks[n].czas, &QLineEdit::textChanged, form.get(), [&, n](const QString& t) {
            const int64_t at = nowMicros();
            std::lock_guard<std::mutex> lock(mutex);
            const auto it = written.find(std::to_string(n) + "|" + t.toStdString());
            if (it != written.end()) {
                latencies.push_back((at - it->second) / 1000.0);
                written.erase(it);
            }
        });
    }
    QTimer::singleShot(seconds * 1000, qApp, &QCoreApplication::quit);
    qApp->exec();
    stop = true;
    responder.join();
    form.reset();   // while what its panels report to still exists
    return latencies;
}

} // namespace bench
