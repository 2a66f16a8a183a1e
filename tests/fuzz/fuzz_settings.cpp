// The settings file on arbitrary bytes, read and applied by a real offscreen main window
// through LoadSettings. What the loader and the reader accept must show in the window as the
// reader understood it, without a box; what they refuse must be told in a box.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include <QCheckBox>
#include <QLineEdit>
#include <QSlider>

#include "files/SettingsFile.h"
#include "tests/fuzz/TaggedFileFuzz.h"
#include "tests/fuzz/WindowFuzz.h"

static const std::string& scratchPath()
{
    static const std::string path = fuzzScratchPath("settings");
    return path;
}

static TForm1* form = nullptr;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    form = &fuzzWindow(argc, argv, scratchPath());
    return 0;
}

static void loadOnce(const uint8_t* data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzTaggedFile(data, size, SettingsFile::Tag, loadOnce);
    return 0;
}

static void loadOnce(const uint8_t* data, size_t size)
{
    fuzzWriteFile(scratchPath(), data, size);
    fuzzBoxes = 0;
    form->guard([] { form->LoadSettings(); });

    // Below three bytes the window's tag test reads its buffer's stale bytes: a refusal either way.
    const bool sizeOk = size >= 3 && size >= SettingsFile::MinFileSize && size <= SettingsFile::MaxFileSize;
    const auto values = sizeOk && checkTaggedImage(data, size, SettingsFile::Tag).ok()
                            ? SettingsFile::parse(data, size)
                            : std::nullopt;
    if (!values) {
        if (fuzzBoxes == 0)
            abort();   // a refusal is always told
        return;
    }
    if (fuzzBoxes != 0)
        abort();
    for (int n = 1; n <= 4; ++n) {
        const SettingsFile::Clock& c = values->clocks[n - 1];
        const ClockPanel& p = form->Clocks[n];
        if (p.name->text() != QString::fromStdString(c.name) || p.boxActiv->isChecked() != c.active
            || p.boxDol->isChecked() != c.countDown || p.wbox->isChecked() != c.displayOff
            || p.jasnosc->value() != std::min<int>(c.brightness, 3) || form->Link.RtcMode[n] != (c.rtc ? 1 : 0))
            abort();
    }
    if (form->BoxAuto->isChecked() != values->autoConnect)
        abort();
}
