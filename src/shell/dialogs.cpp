#include "shell/dialogs.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>

#include <atomic>

namespace {

class QtDialogs final : public Dialogs
{
public:
    void message(QWidget *parent, const QString &caption, const QString &text, Icon icon) override
    {
        QMessageBox box(toQt(icon), caption, text, QMessageBox::Ok, parent);
        box.exec();
    }

    bool question(QWidget *parent, const QString &caption, const QString &text) override
    {
        QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No,
                        parent);
        box.setDefaultButton(QMessageBox::Yes);
        return box.exec() == QMessageBox::Yes;
    }

    bool inputText(QWidget *parent, const QString &caption, const QString &prompt,
                   QString &text) override
    {
        bool ok = false;
        const QString typed
                = QInputDialog::getText(parent, caption, prompt, QLineEdit::Normal, text, &ok);
        if (ok)
            text = typed;
        return ok;
    }

private:
    static QMessageBox::Icon toQt(Icon icon)
    {
        switch (icon) {
        case Icon::Information:
            return QMessageBox::Information;
        case Icon::Warning:
            return QMessageBox::Warning;
        case Icon::Critical:
            return QMessageBox::Critical;
        case Icon::Question:
            return QMessageBox::Question;
        case Icon::None:
            break;
        }
        return QMessageBox::NoIcon;
    }
};

std::atomic<Dialogs *> installed{nullptr};

} // namespace

Dialogs &Dialogs::instance()
{
    static QtDialogs real;
    Dialogs *d = installed.load();
    return d ? *d : real;
}

void Dialogs::install(Dialogs *dialogs)
{
    installed.store(dialogs);
}

void Dialogs::showError(QWidget *parent, const QString &text)
{
    instance().message(parent, QApplication::applicationName(), text, Icon::Critical);
}
