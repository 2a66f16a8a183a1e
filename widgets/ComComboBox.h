#pragma once
// The port selector: a pick-only drop-down list that can be bound to a serial port. With
// ComProperty cpNone it is a plain list its owner fills; with another property it lists that
// setting's values (cpPort: the device map's ports) and, with AutoApply, writes the user's
// pick to the bound port. It fires QComboBox's usual signals; its own pick handling runs
// before any handler connected later. When the bound port is destroyed it unbinds and selects
// entry 0.
#include <QComboBox>
#include <QMetaObject>
#include <memory>

#include "serial/ComSelect.h"

class TComComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit TComComboBox(QWidget* parent = nullptr);
    ~TComComboBox() override;

    TCustomComPort* ComPort() const { return select_->ComPort(); }
    void SetComPort(TCustomComPort* port);
    TComProperty ComProperty() const { return select_->ComProperty(); }
    void SetComProperty(TComProperty property);
    bool AutoApply() const { return select_->AutoApply(); }
    void SetAutoApply(bool value) { select_->SetAutoApply(value); }
    // The map cpPort lists; takes effect at the next SetComProperty.
    void SetDeviceMap(const DeviceMap& map) { select_->SetDeviceMap(map); }

    // The entry at the current index, or empty.
    QString Text() const;
    // Selects the entry equal to value ignoring letter case; none: no change.
    void SetText(const QString& value);

    TComSelect& Select() { return *select_; }

protected:
    // Port names are paths whose distinctive part is at the end: a name wider than the box is
    // cut in the middle, and the whole name is the tooltip.
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    void picked(int index);
    void portDestroyed();
    std::unique_ptr<TComSelect> select_;
    QMetaObject::Connection destroyedConnection_;
};
