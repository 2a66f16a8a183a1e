#pragma once
// A QR code of a text (libqrencode), as a black-on-white image with a quiet zone of four modules.
#include <QImage>
#include <QString>

// Null image if the text cannot be encoded.
QImage qrImage(const QString& text, int moduleSize);
