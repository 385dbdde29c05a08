#include "shell/dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

#include <atomic>
#include <cstdio>

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

    QString saveFileName(QWidget *parent, const QString &caption, const QString &proposedPath,
                         const QString &filter) override
    {
        return QFileDialog::getSaveFileName(parent, caption, proposedPath, filter);
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

// With DOCENTOR_NONINTERACTIVE=1 in the environment no box is shown: each one
// is written to stderr as "<kind> [<caption>] <text>" and answered at once,
// OK for a message, No for a question (Yes when DOCENTOR_ANSWER=yes), cancel
// for an input box and for the save-file picker (printed with the path it
// proposes). This lets a script or a test run the real program
// unattended and read what it would have told the teacher.
class StderrDialogs final : public Dialogs
{
public:
    void message(QWidget *, const QString &caption, const QString &text, Icon) override
    {
        print("message", caption, text);
    }

    bool question(QWidget *, const QString &caption, const QString &text) override
    {
        print("question", caption, text);
        return qEnvironmentVariable("DOCENTOR_ANSWER")
                       .compare(QLatin1String("yes"), Qt::CaseInsensitive)
               == 0;
    }

    bool inputText(QWidget *, const QString &caption, const QString &prompt, QString &) override
    {
        print("input", caption, prompt);
        return false;
    }

    QString saveFileName(QWidget *, const QString &caption, const QString &proposedPath,
                         const QString &) override
    {
        print("save", caption, proposedPath);
        return {};
    }

private:
    static void print(const char *kind, const QString &caption, const QString &text)
    {
        std::fprintf(stderr, "%s [%s] %s\n", kind, caption.toUtf8().constData(),
                     text.toUtf8().constData());
        std::fflush(stderr);
    }
};

std::atomic<Dialogs *> installed{nullptr};

} // namespace

Dialogs &Dialogs::instance()
{
    static QtDialogs real;
    static StderrDialogs unattended;
    if (Dialogs *d = installed.load())
        return *d;
    static const bool noninteractive = qEnvironmentVariable("DOCENTOR_NONINTERACTIVE") == u"1";
    return noninteractive ? static_cast<Dialogs &>(unattended) : real;
}

void Dialogs::install(Dialogs *dialogs)
{
    installed.store(dialogs);
}

void Dialogs::showError(QWidget *parent, const QString &text)
{
    instance().message(parent, QApplication::applicationName(), text, Icon::Critical);
}
