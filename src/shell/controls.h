#pragma once

#include <QCheckBox>
#include <QPushButton>

// A button named for tests and announced by its caption to assistive tools.
inline QPushButton *makeButton(QWidget *parent, const char *name, const QString &caption)
{
    auto *button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setAccessibleName(caption);
    return button;
}

// A check box named for tests and announced by its caption.
inline QCheckBox *makeCheckBox(QWidget *parent, const char *name, const QString &caption)
{
    auto *box = new QCheckBox(caption, parent);
    box->setObjectName(QLatin1String(name));
    box->setAccessibleName(caption);
    return box;
}
