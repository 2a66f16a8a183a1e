// The firmware loader on arbitrary files, through the dialog's own "Plik" handler in an
// offscreen window: "Start" is enabled exactly for an image within the size limits whose tag
// and check byte are right, and then the buffer holds the file. The cutting of such an image
// into blocks must carry every payload byte once, in order, with consecutive counters and only
// 0xFF behind the last payload byte.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <QPushButton>

#include "files/SettingsFile.h"
#include "dialogs/FirmwareImage.h"
#include "dialogs/Ustawienia.h"
#include "tests/fuzz/TaggedFileFuzz.h"
#include "tests/fuzz/WindowFuzz.h"

static const std::string& scratchPath()
{
    static const std::string path = fuzzScratchPath("firmware");
    return path;
}

static TForm1* form = nullptr;
static TFUstawienia* dialog = nullptr;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    form = &fuzzWindow(argc, argv, scratchPath() + ".z.cf");
    seams().chooseFirmwareFile = [](QWidget*) { return QString::fromStdString(scratchPath()); };
    dialog = new TFUstawienia(form);
    return 0;
}

static void loadOnce(const uint8_t* data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzTaggedFile(data, size, Firmware::Tag, loadOnce);
    return 0;
}

static void loadOnce(const uint8_t* data, size_t size)
{
    fuzzWriteFile(scratchPath(), data, size);
    fuzzBoxes = 0;
    form->guard([] { dialog->Button1Click(); });

    const bool accepted = size >= Firmware::MinFileSize && size <= Firmware::MaxFileSize
                          && checkTaggedImage(data, size, Firmware::Tag).ok();
    if (dialog->ButtonStart->isEnabled() != accepted || (fuzzBoxes == 0) != accepted)
        abort();
    if (!accepted)
        return;
    const uint8_t* buffer = form->ConfigBuffer.data();
    if (TFUstawienia::ImageSize != size || std::memcmp(buffer, data, size) != 0)
        abort();

    const uint32_t n = static_cast<uint32_t>(size);
    Firmware::BlockCutter cutter(buffer, n);
    ByteString payload;
    uint32_t blocks = 0;
    int lastGauge = -1;
    while (!cutter.lastBlock()) {
        const uint8_t expected = cutter.counter();
        const ByteString block = cutter.next();
        if (block.size() != 65 || byteAt(block, 0) != expected)
            abort();
        payload += block.substr(1);
        if (cutter.gauge() >= 100 || cutter.gauge() < lastGauge)
            abort();
        lastGauge = cutter.gauge();
        if (++blocks > Firmware::BlockCutter::blockCount(n))
            abort();
    }
    if (blocks != Firmware::BlockCutter::blockCount(n))
        abort();
    const ByteString body(reinterpret_cast<const char*>(buffer) + 3, n - 4);
    if (payload.compare(0, body.size(), body) != 0)
        abort();
    for (size_t i = body.size(); i < payload.size(); ++i)
        if (byteAt(payload, i) != 0xFF)
            abort();
}
