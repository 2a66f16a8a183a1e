#pragma once
// Colours by the toolkit's names, and a control's font and background colour whatever kind of
// control it is.
#include <QColor>

class QWidget;

// The toolkit's named colours as the windows use them.
namespace NamedColor {
inline const QColor clRed{0xFF, 0x00, 0x00};
inline const QColor clLime{0x00, 0xFF, 0x00};
inline const QColor clBlue{0x00, 0x00, 0xFF};
inline const QColor clWhite{0xFF, 0xFF, 0xFF};
inline const QColor clSilver{0xC0, 0xC0, 0xC0};
inline const QColor clGray{0x80, 0x80, 0x80};
inline const QColor clNavy{0x00, 0x00, 0x80};
inline const QColor clMoneyGreen{0xC0, 0xDC, 0xC0};
QColor clBtnFace();
QColor clWindowText();
} // namespace NamedColor

// A control's font colour (the text of edits, buttons and labels) and its background colour
// (the field of an edit, the face of a button, the ground of anything else).
void SetFontColor(QWidget* widget, const QColor& color);
QColor FontColor(const QWidget* widget);
void SetBackColor(QWidget* widget, const QColor& color);
QColor BackColor(const QWidget* widget);
