#include "widgets/ComComboBox.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <QToolTip>

namespace {

// The combo box's own items as the selection logic's list.
class ComboEntries : public TComSelectEntries {
public:
    explicit ComboEntries(QComboBox& box) : box_(box) {}
    void clear() override { box_.clear(); }
    void append(const std::string& text) override { box_.addItem(QString::fromStdString(text)); }
    int count() const override { return box_.count(); }
    std::string at(int index) const override { return box_.itemText(index).toStdString(); }

private:
    QComboBox& box_;
};

} // namespace

TComComboBox::TComComboBox(QWidget* parent)
    : QComboBox(parent), select_(std::make_unique<TComSelect>(std::make_unique<ComboEntries>(*this)))
{
    setEditable(false);  // pick-only
    // Connected first, so the pick reaches the port before any later handler sees the change.
    connect(this, &QComboBox::activated, this, &TComComboBox::picked);
    view()->setTextElideMode(Qt::ElideMiddle);
}

void TComComboBox::paintEvent(QPaintEvent*)
{
    QStylePainter painter(this);
    painter.setPen(palette().color(QPalette::Text));
    QStyleOptionComboBox option;
    initStyleOption(&option);
    painter.drawComplexControl(QStyle::CC_ComboBox, option);
    const QRect field = style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
    option.currentText = fontMetrics().elidedText(option.currentText, Qt::ElideMiddle, field.width() - 2);
    painter.drawControl(QStyle::CE_ComboBoxLabel, option);
}

bool TComComboBox::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip && toolTip().isEmpty()) {
        const QString text = currentText();
        if (text.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), text, this);
        return true;
    }
    return QComboBox::event(event);
}

TComComboBox::~TComComboBox()
{
    disconnect(destroyedConnection_);
}

void TComComboBox::SetComPort(TCustomComPort* port)
{
    if (port == select_->ComPort())
        return;
    disconnect(destroyedConnection_);
    destroyedConnection_ = {};
    select_->SetComPort(port);
    if (port) {
        destroyedConnection_ = connect(port, &QObject::destroyed, this, &TComComboBox::portDestroyed);
        setCurrentIndex(select_->FindCurrent());
    }
}

void TComComboBox::SetComProperty(TComProperty property)
{
    select_->FillChoices(property);
    if (count() > 0)
        setCurrentIndex(select_->ComPort() ? select_->FindCurrent() : 0);
}

QString TComComboBox::Text() const
{
    const int index = currentIndex();
    return index >= 0 ? itemText(index) : QString();
}

void TComComboBox::SetText(const QString& value)
{
    const int index = findText(value, Qt::MatchFixedString);  // exact, ignoring letter case
    if (index >= 0)
        setCurrentIndex(index);
}

void TComComboBox::picked(int index)
{
    if (index < 0)
        return;
    select_->PickChoice(itemText(index).toStdString());
    if (select_->AutoApply())
        select_->ApplyChoice();
}

void TComComboBox::portDestroyed()
{
    destroyedConnection_ = {};
    select_->SetComPort(nullptr);
    if (count() > 0)
        setCurrentIndex(0);
}
