// Firmware update of an 8192-byte image to the bus simulator with wire-time pacing: the total
// time against its floor (the wire time of the 128 block frames and their acknowledgements,
// plus the fixed 5 s of pauses), and the program's CPU share while it runs.
//
//   build/bench_firmware [--runs N]
#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "app/KadrelApplication.h"
#include "app/KadrelMain.h"
#include "widgets/Seams.h"
#include "files/ConfigPaths.h"
#include "files/SettingsFile.h"
#include "bench/BenchSupport.h"
#include "dialogs/Ustawienia.h"
#include "widgets/ComComboBox.h"

namespace {

using bench::cpuSeconds;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

QByteArray firmwareImage(int size)
{
    QByteArray f(size, '\0');
    f[0] = 'z'; f[1] = 'f'; f[2] = 'r';
    for (int i = 3; i + 1 < size; ++i) f[i] = static_cast<char>((i * 37 + 11) & 0xFF);
    f[size - 1] = static_cast<char>(xorBytes(reinterpret_cast<const uint8_t*>(f.constData()), static_cast<size_t>(size - 1)));
    return f;
}

struct Run {
    double total = 0;      // s, "Start" to the dialog closing
    double paused = 0;     // s spent in the blocking pauses
    double cpu = 0;        // s of the program's CPU over the whole transfer
    double cpuPaused = 0;
    bool completed = false;
    int resends = 0;
};

} // namespace

int main(int argc, char** argv)
{
    const int runs = bench::option(argc, argv, "--runs", 3, 1);

    // Settings and ports stay inside the sandbox, never the real home folder.
    bench::Home home;
    home.env();
    std::filesystem::create_directories(home.root / "sys");
    const QString root = QString::fromStdString(home.root.string());

    KadrelApplication app(argc, argv);

    const QString imagePath = root + "/bench.zfr";
    {
        QFile f(imagePath);
        f.open(QIODevice::WriteOnly);
        f.write(firmwareImage(8192));
    }
    const QString reportPath = root + "/report.txt";

    QProcess sim;
    sim.setProgram(QStringLiteral(KADREL_BUILD_DIR "/kadrel-sim"));
    sim.setArguments({"--name", "BENCH", "--clocks", "1", "--wire-time", "--quiet", "--seed", "1",
                      "--report", reportPath});
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start();
    const QString portLink = root + "/runtime/kadrel/ports/BENCH";
    for (int i = 0; i < 200 && !QFileInfo(portLink).exists(); ++i) QThread::msleep(10);
    if (!sim.waitForStarted(2000) || !QFileInfo(portLink).exists()) {
        std::fprintf(stderr, "the simulator did not publish its port\n");
        return 1;
    }

    resetSeams();
    configRoots().sysfsRoot = root + "/sys";  // no hardware ports
    QStringList messages;
    seams().showMessage = [&](MsgKind, const QString& text) { messages << text; };
    seams().beep = [] {};
    seams().chooseFirmwareFile = [&](QWidget*) { return imagePath; };
    Run current;
    seams().pause = [&](int ms) {
        const auto t = Clock::now();
        const double c = cpuSeconds();
        QThread::msleep(static_cast<unsigned long>(ms));
        current.paused += since(t);
        current.cpuPaused += cpuSeconds() - c;
    };

    std::vector<Run> results;
    {
        TForm1 form;
        form.show();
        QCoreApplication::processEvents();
        if (form.ComCombo->currentText() != portLink)
            form.ComCombo->setCurrentIndex(form.ComCombo->findText(portLink));
        form.Button_polaczClick();
        if (form.Link.LinkActive != 1) {
            std::fprintf(stderr, "could not connect to %s\n", qPrintable(portLink));
            return 1;
        }
        for (int r = 0; r < runs; ++r) {
            // Let a poll or two settle, as an operator would take a moment to open the dialog.
            for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            TFUstawienia dialog(&form);
            dialog.show();
            dialog.Button1Click();
            if (!dialog.ButtonStart->isEnabled()) {
                std::fprintf(stderr, "the image did not load: %s\n", qPrintable(messages.join(" | ")));
                return 1;
            }
            current = Run{};
            messages.clear();
            const auto t0 = Clock::now();
            const double c0 = cpuSeconds();
            dialog.ButtonStartClick();
            current.total = since(t0);
            current.cpu = cpuSeconds() - c0;
            current.completed = dialog.lastResult().completed;
            current.resends = dialog.lastResult().resends;
            results.push_back(current);
        }
        form.Disconnect();
    }
    sim.terminate();
    sim.waitForFinished(3000);

    // Floor: 128 block frames of 69 bytes and 128 one-byte acknowledgements at 19200 bit/s,
    // 10 bits a byte, plus 2000 + 2000 + 1000 ms of pauses.
    const double byteTime = 10.0 / 19200.0;
    const double wire = 128 * (69 + 1) * byteTime;
    const double floor = wire + 5.0;

    std::printf("firmware update, 8192-byte image, 128 blocks, simulator with --wire-time\n");
    std::printf("floor: %.3f s (wire %.3f s + pauses 5.000 s)\n", floor, wire);
    std::printf("the simulator adds its modelled answer latency of 3 ms a block: %.3f s of the excess\n",
                128 * 0.003);
    std::printf("%-4s %-9s %-9s %-8s %-10s %-12s %-9s %s\n", "run", "total s", "vs floor", "blocks s",
                "cpu total", "cpu blocks", "resends", "result");
    bool ok = true;
    for (size_t i = 0; i < results.size(); ++i) {
        const Run& r = results[i];
        const double blocks = r.total - r.paused;
        const double cpuBlocks = r.cpu - r.cpuPaused;
        std::printf("%-4zu %-9.3f %+7.1f%%  %-8.3f %6.2f%%    %6.2f%%      %-9d %s\n", i + 1, r.total,
                    (r.total / floor - 1) * 100, blocks, r.cpu / r.total * 100,
                    blocks > 0 ? cpuBlocks / blocks * 100 : 0.0, r.resends, r.completed ? "complete" : "FAILED");
        ok = ok && r.completed;
    }
    QFile report(reportPath);
    if (report.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : report.readAll().split('\n'))
            if (!line.isEmpty())
                std::printf("simulator: %s\n", line.left(line.indexOf(" data=")).constData());
    }
    std::printf("targets: total within 10 %% of the floor, CPU <= 5 %% of one core\n");
    return ok ? 0 : 1;
}
