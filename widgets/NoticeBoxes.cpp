#include "widgets/NoticeBoxes.h"

#include <QMessageBox>
#include <QTimer>

QMessageBox::Icon messageIcon(MsgKind kind)
{
    switch (kind) {
    case MsgKind::Information: return QMessageBox::Information;
    case MsgKind::Warning: return QMessageBox::Warning;
    case MsgKind::Error: return QMessageBox::Critical;
    case MsgKind::Plain: break;
    }
    return QMessageBox::NoIcon;
}

NoticeBoxes::NoticeBoxes(QObject* parent) : QObject(parent) {}

NoticeBoxes::~NoticeBoxes()
{
    delete box_.data();
}

int NoticeBoxes::show(MsgKind kind, const QString& text)
{
    if (box_ && boxText_ == text)
        return boxId_;
    for (const Pending& p : queue_)
        if (p.text == text)
            return p.id;
    const int id = nextId_++;
    queue_.push_back({id, kind, text});
    showNext();
    return id;
}

void NoticeBoxes::dismiss(int notice)
{
    if (box_ && boxId_ == notice) {
        box_->done(QMessageBox::Ok);
        return;
    }
    std::erase_if(queue_, [notice](const Pending& p) { return p.id == notice; });
}

void NoticeBoxes::showNext()
{
    if (box_ || queue_.empty())
        return;
    const Pending next = queue_.front();
    queue_.pop_front();
    auto* box = new QMessageBox(messageIcon(next.kind), QStringLiteral("Kadrel"), next.text, QMessageBox::Ok, owner_.data());
    box->setObjectName(QStringLiteral("NoticeBox"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    box_ = box;
    boxId_ = next.id;
    boxText_ = next.text;
    connect(box, &QDialog::finished, this, [this, box] {
        if (box_ == box) {
            box_ = nullptr;
            boxId_ = 0;
            boxText_.clear();
        }
        // The next box once this one has gone, not from inside its closing.
        QTimer::singleShot(0, this, [this] { showNext(); });
    });
    box->show();
}
