#pragma once

#include "shell/dialogs.h"

#include <QList>
#include <QStringList>

#include <optional>

// Dialogs that answer from a script and remember what was shown. Installed
// for its lifetime.
class FakeDialogs : public Dialogs
{
public:
    enum class Kind { Message, Question, Input, Save };
    struct Shown
    {
        Kind kind;
        QString caption;
        QString text;
        Icon icon = Icon::None;
    };

    FakeDialogs() { Dialogs::install(this); }
    ~FakeDialogs() override { Dialogs::install(nullptr); }

    // Answers for the questions to come, in order; true (Yes) when none is left.
    QList<bool> questionAnswers;
    // Answers for the input boxes to come; nullopt cancels. Cancel when none is left.
    QList<std::optional<QString>> inputAnswers;
    // Paths chosen in the save-file pickers to come; an empty one cancels.
    // Cancel when none is left. A picker is remembered with the path it
    // proposed as its text.
    QStringList saveAnswers;

    QList<Shown> shown;

    void message(QWidget *, const QString &caption, const QString &text, Icon icon) override
    {
        shown.append({Kind::Message, caption, text, icon});
    }
    bool question(QWidget *, const QString &caption, const QString &text) override
    {
        shown.append({Kind::Question, caption, text, Icon::Question});
        return questionAnswers.isEmpty() ? true : questionAnswers.takeFirst();
    }
    bool inputText(QWidget *, const QString &caption, const QString &prompt, QString &text) override
    {
        shown.append({Kind::Input, caption, prompt, Icon::None});
        if (inputAnswers.isEmpty() || !inputAnswers.first().has_value()) {
            if (!inputAnswers.isEmpty())
                inputAnswers.removeFirst();
            return false;
        }
        text = *inputAnswers.takeFirst();
        return true;
    }
    QString saveFileName(QWidget *, const QString &caption, const QString &proposedPath,
                         const QString &) override
    {
        shown.append({Kind::Save, caption, proposedPath, Icon::None});
        return saveAnswers.isEmpty() ? QString() : saveAnswers.takeFirst();
    }

    QStringList texts() const
    {
        QStringList out;
        for (const Shown &s : shown)
            out << s.text;
        return out;
    }
};
