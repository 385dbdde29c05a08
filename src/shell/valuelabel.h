#pragma once

#include <QLabel>

// A label that shows a value beside a caption of its own ("Nowa wersja:").
// Assistive tools announce it by that caption, which hides the label's text,
// so the value goes into its description whenever it changes.
class ValueLabel : public QLabel
{
public:
    ValueLabel(const QString &text, QWidget *parent)
        : QLabel(text, parent)
    {
        setAccessibleDescription(text);
    }

    // Every writer holds this type, not QLabel, so no text bypasses it.
    void setText(const QString &text)
    {
        QLabel::setText(text);
        setAccessibleDescription(text);
    }
};
