#pragma once

#include <QString>

class QWidget;

// Every message box, the one-line input box and the save-file picker of the
// console go through here, so that tests can answer them. Production shows
// Qt's own dialogs.
class Dialogs
{
public:
    enum class Icon { None, Information, Warning, Critical, Question };

    virtual ~Dialogs() = default;

    // A box with one OK button.
    virtual void message(QWidget *parent, const QString &caption, const QString &text, Icon icon)
            = 0;
    // A box with Yes and No; true for Yes.
    virtual bool question(QWidget *parent, const QString &caption, const QString &text) = 0;
    // The one-line input box; false when cancelled.
    virtual bool inputText(QWidget *parent, const QString &caption, const QString &prompt,
                           QString &text)
            = 0;
    // The picker of a file to write, opened at proposedPath; filter as Qt's
    // file dialogs take it ("Arkusz CSV (*.csv)"). Empty when cancelled.
    virtual QString saveFileName(QWidget *parent, const QString &caption,
                                 const QString &proposedPath, const QString &filter)
            = 0;

    // The dialogs in use; the real ones unless a test installed others.
    static Dialogs &instance();
    // Installs replacement dialogs (not owned); nullptr restores the real ones.
    static void install(Dialogs *dialogs);

    // The standard box for an error raised by an event handler or by start-up.
    static void showError(QWidget *parent, const QString &text);
};
