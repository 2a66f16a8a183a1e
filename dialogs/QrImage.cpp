#include "dialogs/QrImage.h"

#include <QPainter>
#include <memory>
#include <qrencode.h>

QImage qrImage(const QString& text, int moduleSize)
{
    const QByteArray utf8 = text.toUtf8();
    std::unique_ptr<QRcode, void (*)(QRcode*)> code(QRcode_encodeString(utf8.constData(), 0, QR_ECLEVEL_M, QR_MODE_8, 1),
                                                    QRcode_free);
    if (!code)
        return {};
    const int quiet = 4;
    const int side = (code->width + 2 * quiet) * moduleSize;
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::black);
    for (int y = 0; y < code->width; ++y)
        for (int x = 0; x < code->width; ++x)
            if (code->data[y * code->width + x] & 1)
                p.drawRect((x + quiet) * moduleSize, (y + quiet) * moduleSize, moduleSize, moduleSize);
    return image;
}
