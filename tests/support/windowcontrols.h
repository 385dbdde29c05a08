#pragma once

// What the tests of the main window ask of its controls: where a control
// lies, what it is captioned with, what a list or a box holds.
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTabWidget>
#include <QTreeView>

namespace windowcontrols {

// The caption of the framed group a control lies in.
inline QString groupOf(QWidget *widget)
{
    for (QWidget *w = widget->parentWidget(); w; w = w->parentWidget()) {
        if (auto *group = qobject_cast<QGroupBox *>(w))
            return group->title();
    }
    return {};
}

// The tab a control lies on: the objectName of the tab's page.
inline QString tabOf(QWidget *widget, QTabWidget *tabs)
{
    for (QWidget *w = widget; w; w = w->parentWidget()) {
        if (tabs->indexOf(w) >= 0)
            return w->objectName();
    }
    return {};
}

inline QLabel *labelOf(QWidget *main, QWidget *control)
{
    for (QLabel *label : main->findChildren<QLabel *>()) {
        if (label->buddy() == control)
            return label;
    }
    return nullptr;
}

inline QStringList headers(QTreeView *list)
{
    QStringList out;
    for (int i = 0; i < list->model()->columnCount(); ++i)
        out << list->model()->headerData(i, Qt::Horizontal).toString();
    return out;
}

inline QList<int> widths(QTreeView *list)
{
    QList<int> out;
    for (int i = 0; i < list->model()->columnCount(); ++i)
        out << list->columnWidth(i);
    return out;
}

inline QStringList items(QComboBox *list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->itemText(i);
    return out;
}

// The width a control has for its text: a label's contents, a button's
// contents inside its frame.
inline int roomForText(QWidget *control)
{
    auto *button = qobject_cast<QPushButton *>(control);
    if (!button)
        return control->contentsRect().width();
    QStyleOptionButton option;
    option.initFrom(button);
    if (button->autoDefault())
        option.features |= QStyleOptionButton::AutoDefaultButton;
    return button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button).width();
}

const QStringList PowerChoices{QStringLiteral("Wyłącz komputer"), QStringLiteral("Wyloguj"),
                               QStringLiteral("Zrestartuj")};

} // namespace windowcontrols
