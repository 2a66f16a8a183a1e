#include "widgets/Palette.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QPalette>
#include <QWidget>

QColor NamedColor::clBtnFace()
{
    return QApplication::palette().color(QPalette::Button);
}

QColor NamedColor::clWindowText()
{
    return QApplication::palette().color(QPalette::WindowText);
}

void SetFontColor(QWidget* widget, const QColor& color)
{
    QPalette p = widget->palette();
    for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive})
        for (QPalette::ColorRole r : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
            p.setColor(g, r, color);
    widget->setPalette(p);
}

QColor FontColor(const QWidget* widget)
{
    if (qobject_cast<const QLineEdit*>(widget))
        return widget->palette().color(QPalette::Active, QPalette::Text);
    if (qobject_cast<const QAbstractButton*>(widget))
        return widget->palette().color(QPalette::Active, QPalette::ButtonText);
    return widget->palette().color(QPalette::Active, QPalette::WindowText);
}

void SetBackColor(QWidget* widget, const QColor& color)
{
    QPalette p = widget->palette();
    QPalette::ColorRole role = QPalette::Window;
    if (qobject_cast<QLineEdit*>(widget))
        role = QPalette::Base;
    else if (qobject_cast<QAbstractButton*>(widget))
        role = QPalette::Button;
    else
        widget->setAutoFillBackground(true);
    for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        p.setColor(g, role, color);
    widget->setPalette(p);
}

QColor BackColor(const QWidget* widget)
{
    if (qobject_cast<const QLineEdit*>(widget))
        return widget->palette().color(QPalette::Active, QPalette::Base);
    if (qobject_cast<const QAbstractButton*>(widget))
        return widget->palette().color(QPalette::Active, QPalette::Button);
    return widget->palette().color(QPalette::Active, QPalette::Window);
}
