#pragma once
// The program's boxes that hold nothing. Each is a box with a single OK, application-modal for
// the operator, but shown without a nested event loop: the code that raised it goes on at once,
// so the tick, the reconnect wait, the port watcher and the remote server keep running while it
// stands open for hours. They come one at a time in the order raised; a text already open or
// waiting is not queued twice, and a box can be closed by the program (the device came back).
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <deque>

#include "widgets/Seams.h"

class QWidget;

// The box's icon for each kind of message.
QMessageBox::Icon messageIcon(MsgKind kind);

class NoticeBoxes : public QObject {
    Q_OBJECT
public:
    explicit NoticeBoxes(QObject* parent = nullptr);
    ~NoticeBoxes() override;

    // The window the boxes stand over, once it exists.
    void setOwner(QWidget* owner) { owner_ = owner; }
    int show(MsgKind kind, const QString& text);
    void dismiss(int notice);
    // The box now open, or null.
    QMessageBox* current() const { return box_.data(); }
    int queued() const { return static_cast<int>(queue_.size()); }

private:
    struct Pending {
        int id;
        MsgKind kind;
        QString text;
    };
    void showNext();

    QPointer<QWidget> owner_;
    std::deque<Pending> queue_;
    QPointer<QMessageBox> box_;
    int boxId_ = 0;
    QString boxText_;
    int nextId_ = 1;
};
