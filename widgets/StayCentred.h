#pragma once
// Keeps a dialog centred on its owner window while that window changes size: the main window
// shrinks to its connection strip when the adapter is lost with a dialog open.
#include <QDialog>
#include <QEvent>
#include <QPointer>

class StayCentred : public QObject {
public:
    explicit StayCentred(QDialog* dialog) : QObject(dialog), dialog_(dialog)
    {
        if (QWidget* parent = dialog->parentWidget()) {
            owner_ = parent->window();
            owner_->installEventFilter(this);
        }
    }

    static void centre(QWidget* dialog, const QWidget* owner)
    {
        dialog->move(owner->geometry().center() - QPoint(dialog->width() / 2, dialog->height() / 2));
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == owner_ && owner_ && event->type() == QEvent::Resize && dialog_->isVisible())
            centre(dialog_, owner_);
        return false;
    }

private:
    QDialog* dialog_;
    QPointer<QWidget> owner_;
};
