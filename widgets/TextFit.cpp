#include "widgets/TextFit.h"

#include <QFontMetrics>
#include <QLabel>
#include <QStringList>

namespace {

const QString Ellipsis = QStringLiteral("…");

// The number of characters of text from `from` that fit `width`, ending after a "/" or a
// space when one lies in the last two thirds of the line and the text goes on.
qsizetype lineLength(const QString& text, qsizetype from, const QFontMetrics& fm, int width)
{
    qsizetype n = 0;
    while (from + n < text.size() && fm.horizontalAdvance(text.mid(from, n + 1)) <= width)
        ++n;
    if (n == 0)
        return from < text.size() ? 1 : 0;   // a character wider than the line: still progress
    if (from + n >= text.size())
        return n;
    for (qsizetype k = n; k > n / 3; --k) {
        const QChar c = text.at(from + k - 1);
        if (c == QLatin1Char('/') || c == QLatin1Char(' '))
            return k;
    }
    return n;
}

} // namespace

QString elideLines(const QString& text, const QFontMetrics& fm, int width, int lines)
{
    lines = std::max(1, lines);
    if (lines == 1)
        return fm.elidedText(text, Qt::ElideMiddle, width);
    QStringList out;
    qsizetype pos = 0;
    while (pos < text.size() && out.size() < lines) {
        const qsizetype n = lineLength(text, pos, fm, width);
        out << text.mid(pos, n);
        pos += n;
    }
    if (pos >= text.size())
        return out.join(QLatin1Char('\n'));

    // Too long: the first lines keep the start, the last line the end (the file's name).
    out.clear();
    pos = 0;
    for (int i = 0; i < lines - 1; ++i) {
        const bool last = i == lines - 2;
        const qsizetype n = lineLength(text, pos, fm, last ? width - fm.horizontalAdvance(Ellipsis) : width);
        out << text.mid(pos, n) + (last ? Ellipsis : QString());
        pos += n;
    }
    qsizetype tail = text.size();
    while (tail > pos && fm.horizontalAdvance(text.mid(tail - 1)) <= width)
        --tail;
    // Start at a "/" or space near the front rather than in the middle of a word.
    for (qsizetype k = tail; k < tail + (text.size() - tail) / 3; ++k)
        if (text.at(k) == QLatin1Char('/') || text.at(k) == QLatin1Char(' ')) {
            tail = k;
            break;
        }
    out << text.mid(tail);
    return out.join(QLatin1Char('\n'));
}

void showPath(QLabel* label, const QString& path, const QString& name)
{
    label->setWordWrap(false);
    label->setTextFormat(Qt::PlainText);
    const QRect room = label->contentsRect();
    const QFontMetrics fm(label->font());
    label->setText(elideLines(path, fm, room.width(), room.height() / fm.lineSpacing()));
    label->setToolTip(path);
    label->setAccessibleName(path.isEmpty() ? name : name + QStringLiteral(": ") + path);
}

void shrinkToFit(QLabel* label)
{
    QFont font = label->font();
    while (font.pointSizeF() > 7 &&
           QFontMetrics(font).horizontalAdvance(label->text()) > label->contentsRect().width()) {
        font.setPointSizeF(font.pointSizeF() - 0.5);
        label->setFont(font);
    }
}
