#pragma once

#include <QPushButton>

// A button named for tests and announced by its caption to assistive tools.
inline QPushButton *makeButton(QWidget *parent, const char *name, const QString &caption)
{
    auto *button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setAccessibleName(caption);
    return button;
}
