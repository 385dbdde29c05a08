// The main window's texts as the teacher and assistive tools meet them:
// every control named, every text fitting its control, one-line fields
// showing a new text from its start, values reaching assistive tools.
#include "shell/textfit.h"
#include "shell/tfprogress.h"
#include "support/consolefixture.h"
#include "support/windowcontrols.h"
#include "update/tfupdate.h"
#include "update/version.h"

#include <QAbstractSpinBox>
#include <QAccessible>
#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <climits>

using namespace windowcontrols;

class WindowTextsTest : public QObject
{
    Q_OBJECT
private slots:
    void everyControlIsNamedForAssistiveTools()
    {
        ConsoleFixture console;
        QList<QWidget *> windows{console.windows.main, console.main().waitWindow()};
        for (QWidget *window : windows) {
            QList<QWidget *> controls;
            for (QPushButton *button : window->findChildren<QPushButton *>()) {
                QCOMPARE(button->accessibleName(), button->text());
                controls << button;
            }
            // A spin box's own field is part of it, named with it.
            for (auto *w : window->findChildren<QLineEdit *>())
                if (!qobject_cast<QAbstractSpinBox *>(w->parentWidget()))
                    controls << w;
            for (auto *w : window->findChildren<QAbstractSpinBox *>())
                controls << w;
            for (auto *w : window->findChildren<QAbstractSlider *>())
                if (!qobject_cast<QScrollBar *>(w))
                    controls << w;
            for (auto *w : window->findChildren<QComboBox *>())
                controls << w;
            for (auto *w : window->findChildren<QTreeWidget *>())
                controls << w;
            for (auto *w : window->findChildren<QPlainTextEdit *>())
                controls << w;
            for (auto *w : window->findChildren<QProgressBar *>())
                controls << w;
            for (auto *w : window->findChildren<QGroupBox *>()) {
                QCOMPARE(w->accessibleName(), w->title().trimmed());
                controls << w;
            }
            for (QWidget *control : controls) {
                QVERIFY2(!control->accessibleName().isEmpty(),
                         qPrintable(control->objectName() + " "
                                    + control->metaObject()->className()));
                if (QLabel *label = labelOf(window, control))
                    QCOMPARE(control->accessibleName(), label->text());
            }
        }
    }

    void oneLineFieldsShowANewTextFromItsStart_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("typing");
        for (const char *name : {"StatusEdit", "SendStatusEdit", "RcvStatusEdit", "RemoteNameEdit",
                                 "RemoteIPEdit", "RemotePortEdit", "MessageEdit1"})
            QTest::newRow(name) << QString::fromLatin1(name) << false;
        QTest::newRow("MessageEdit1 while the teacher types")
                << QStringLiteral("MessageEdit1") << true;
    }

    void oneLineFieldsShowANewTextFromItsStart()
    {
        QFETCH(QString, name);
        QFETCH(bool, typing);
        ConsoleFixture console;
        TFMain &main = console.main();
        main.PageControl1->setCurrentWidget(main.TabSheet2);
        main.show();
        QVERIFY(QTest::qWaitForWindowActive(&main));
        auto *field = main.findChild<QLineEdit *>(name);
        QVERIFY(field);
        if (typing) {
            field->setFocus();
            QTRY_VERIFY(field->hasFocus());
            field->clear();
            QTest::keyClicks(field, QStringLiteral("Czy skonczyles zadanie?"));
            QCOMPARE(field->text(), QStringLiteral("Czy skonczyles zadanie?"));
            return;
        }
        // What the field shows of a long text begins as its start alone does.
        const QString start = QStringLiteral("Połączono z ");
        field->setText(start);
        const QImage alone = field->grab().toImage();
        field->setText(start + QString(400, u'7') + QStringLiteral(" SALA-1"));
        const QImage shown = field->grab().toImage();
        const QRect head(0, 0, field->fontMetrics().horizontalAdvance(start), field->height());
        QCOMPARE(shown.copy(head), alone.copy(head));
    }

    void everyTextFitsItsControl_data()
    {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("place"); // a tab of the main window, or one control
        QTest::addColumn<QString>("text");  // put into that control first
        auto row = [](const char *row, const char *window, const char *place, const QString &text) {
            QTest::newRow(row) << QString::fromLatin1(window) << QString::fromLatin1(place) << text;
        };
        row("main window outside the tabs", "main", "", {});
        for (const char *tab : {"TabSheet1", "TabSheet2", "TabSheet3", "TabSheet4"})
            row(tab, "main", tab, {});
        row("update window", "update", "", {});
        const QString longest = update::Version{INT_MIN, INT_MIN, INT_MIN}.text();
        row("longest version", "update", "VersionLabel", longest);
        row("longest new version", "update", "NewVersionLabel", longest);
        for (const char *status : {"Pobieranie nowej wersji programu", "Błąd połączenia...",
                                   "Błąd podczas próby czytania pliku...", "Błąd zapisu do pliku"})
            row(status, "update", "StatusLabel", QString::fromUtf8(status));
        row("Uruchom", "update", "CloseButton", QStringLiteral("Uruchom"));
    }

    void everyTextFitsItsControl()
    {
        QFETCH(QString, window);
        QFETCH(QString, place);
        QFETCH(QString, text);
        ConsoleFixture console;
        TFMain &main = console.main();
        main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&main));
        QWidget *top = window == "main" ? static_cast<QWidget *>(&main) : console.windows.update;
        QList<QWidget *> controls;
        if (auto *tab = main.PageControl1->findChild<QWidget *>(place))
            main.PageControl1->setCurrentWidget(tab);
        if (!text.isEmpty()) {
            auto *control = top->findChild<QWidget *>(place);
            if (auto *label = qobject_cast<QLabel *>(control))
                label->setText(text);
            else
                qobject_cast<QPushButton *>(control)->setText(text);
            controls << control;
        } else {
            for (QWidget *w : top->findChildren<QWidget *>()) {
                if ((w->inherits("QLabel") || w->inherits("QPushButton"))
                    && !w->property("text").toString().isEmpty()
                    && (window != "main" || tabOf(w, main.PageControl1) == place))
                    controls << w;
            }
        }
        QVERIFY(!controls.isEmpty());
        for (QWidget *control : controls) {
            const QString shown = control->property("text").toString();
            QVERIFY2(control->fontMetrics().horizontalAdvance(shown) <= roomForText(control),
                     qPrintable(control->objectName() + ": " + shown));
            // A control that grew has pushed its neighbours aside, inside
            // the window.
            QVERIFY(control->parentWidget()->rect().contains(control->geometry()));
            for (QWidget *other :
                 control->parentWidget()->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
                if (other != control && !other->isHidden() && !other->isWindow())
                    QVERIFY2(!other->geometry().intersects(control->geometry()),
                             qPrintable(control->objectName() + " / " + other->objectName()));
            }
        }
    }

    void valuesReachAssistiveTools_data()
    {
        QTest::addColumn<QString>("control"); // objectName; FProgress is the wait window
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("value"); // as value or description; none for a caption
        auto row = [](const char *control, const char *name, const char *value) {
            QTest::newRow(control) << QString::fromLatin1(control) << QString::fromUtf8(name)
                                   << QString::fromUtf8(value);
        };
        row("StatusEdit", "STATUS", "Połączono z 127.0.0.2");
        row("SendStatusEdit", "SEND", "wysłano dane");
        row("RcvStatusEdit", "RCV", "otrzymano dane");
        row("RemoteNameEdit", "Wybrany komputer:", "SALA-1");
        row("RemoteIPEdit", "Adres IP", "127.0.0.2");
        row("RemotePortEdit", "Port", "50123");
        row("StatusBar", "Komputer lokalny", "Nazwa lokalnego komputera: SALA-1");
        row("ProcessListStatusBar", "Stan listy programów", "strumień danych od 127.0.0.2");
        row("ScreenStatusBar", "Stan podglądu ekranu", "strumień danych od: 127.0.0.2");
        row("MessageAnswerMemo", "Odpowiedź:", "odpowiedź brzmi: TAK");
        row("FProgress", "Proszę czekać (1s)...", "");
        row("ProgressBar", "Postęp", "20");
        row("FUpdate/VersionLabel", "Aktualna wersja:", "1.0.6");
        row("FUpdate/NewVersionLabel", "Nowa wersja:", "1.2.0");
        row("FUpdate/StatusLabel", "Status", "Błąd połączenia...");
        row("FUpdate/ProgressBar", "Postęp pobierania:", "40");
    }

    void valuesReachAssistiveTools()
    {
        QFETCH(QString, control);
        QFETCH(QString, name);
        QFETCH(QString, value);
        ConsoleFixture console;
        TFUpdate *update = console.windows.update;
        QWidget *widget = nullptr;
        TFProgress *wait = console.main().waitWindow();
        if (control == u"FProgress")
            widget = wait;
        else if (control.startsWith(u"FUpdate/"))
            widget = update->findChild<QWidget *>(control.section(u'/', 1));
        if (!widget)
            widget = console.windows.main->findChild<QWidget *>(control);
        if (!widget)
            widget = wait->findChild<QWidget *>(control);
        QVERIFY(widget);

        // The value changes as the console changes it.
        if (auto *field = qobject_cast<QLineEdit *>(widget))
            field->setText(value);
        else if (auto *line = qobject_cast<QStatusBar *>(widget))
            line->showMessage(value);
        else if (auto *memo = qobject_cast<QPlainTextEdit *>(widget))
            memo->setPlainText(value);
        else if (auto *gauge = qobject_cast<QProgressBar *>(widget))
            gauge->setValue(value.toInt());
        for (ValueLabel *label :
             {update->VersionLabel, update->NewVersionLabel, update->StatusLabel}) {
            if (label == widget)
                label->setText(value);
        }
        if (widget == wait) {
            wait->Show();
            for (int tick = 0; tick < TFProgress::CountdownSeconds; ++tick)
                wait->Timer1Timer();
        }

        QAccessibleInterface *exposed = QAccessible::queryAccessibleInterface(widget);
        QVERIFY(exposed);
        QCOMPARE(exposed->text(QAccessible::Name), name);
        if (!value.isEmpty()) {
            const QStringList texts{exposed->text(QAccessible::Value),
                                    exposed->text(QAccessible::Description)};
            QVERIFY2(texts.contains(value), qPrintable(texts.join(u'|')));
        }
    }
};

QTEST_MAIN(WindowTextsTest)
#include "test_windowtexts.moc"
