#pragma once
// The status bar's line about the port. A port's name can be long (a virtual port's path, a
// network address), and the window is only as wide as its controls: the name is cut in the
// middle so the words around it (what the program is doing) always show whole. text() and the
// tooltip keep the whole line.
#include <QLabel>

class StatusLine : public QLabel {
    Q_OBJECT
public:
    explicit StatusLine(QWidget* parent = nullptr);
    // A line naming a port: before + port + after; the port is the part that gives way.
    void setPortMessage(const QString& before, const QString& port, const QString& after);
    // What is painted at the current width.
    QString shownText() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString before_, port_, after_;
    bool parts_ = false;
};
