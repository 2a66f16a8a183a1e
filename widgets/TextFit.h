#pragma once
// Long texts in controls of a fixed size: a path cut in the middle over the lines the control
// has room for (its start and its file name stay readable), a heading whose font steps down
// until it fits. The whole text stays in the tooltip.
#include <QString>

class QFontMetrics;
class QLabel;

// `text` broken into at most `lines` lines of at most `width` pixels, preferring breaks after
// "/" or a space; what cannot fit is cut out of the middle and marked "…".
QString elideLines(const QString& text, const QFontMetrics& metrics, int width, int lines);
// Shows `path` in `label` as above, the whole path in its tooltip and, after `name`, in its
// accessible name.
void showPath(QLabel* label, const QString& path, const QString& name);
// Steps the label's font down (not below 7 points) until its text fits its width.
void shrinkToFit(QLabel* label);
