// The main window as the teacher and assistive tools meet it: its controls
// with their names, captions and places, and the resize rule.
#include "shell/textfit.h"
#include "shell/tfprogress.h"
#include "support/consolefixture.h"
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

namespace {

// The caption of the framed group a control lies in.
QString groupOf(QWidget *widget)
{
    for (QWidget *w = widget->parentWidget(); w; w = w->parentWidget()) {
        if (auto *group = qobject_cast<QGroupBox *>(w))
            return group->title();
    }
    return {};
}

// The tab a control lies on: the objectName of the tab's page.
QString tabOf(QWidget *widget, QTabWidget *tabs)
{
    for (QWidget *w = widget; w; w = w->parentWidget()) {
        if (tabs->indexOf(w) >= 0)
            return w->objectName();
    }
    return {};
}

QLabel *labelOf(QWidget *main, QWidget *control)
{
    for (QLabel *label : main->findChildren<QLabel *>()) {
        if (label->buddy() == control)
            return label;
    }
    return nullptr;
}

QStringList headers(QTreeView *list)
{
    QStringList out;
    for (int i = 0; i < list->model()->columnCount(); ++i)
        out << list->model()->headerData(i, Qt::Horizontal).toString();
    return out;
}

QList<int> widths(QTreeView *list)
{
    QList<int> out;
    for (int i = 0; i < list->model()->columnCount(); ++i)
        out << list->columnWidth(i);
    return out;
}

QStringList items(QComboBox *list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->itemText(i);
    return out;
}

// The width a control has for its text: a label's contents, a button's
// contents inside its frame.
int roomForText(QWidget *control)
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

} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT
private slots:
    void controls_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("tab");
        QTest::addColumn<QString>("group");

        auto row = [](const char *name, const char *kind, const QString &caption, const char *tab,
                      const QString &group) {
            QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(kind) << caption
                                << QString::fromLatin1(tab) << group;
        };
        const QString none;
        row("CloseProgramButton", "QPushButton", "Zamknij program", "TabSheet1", none);
        row("ReloadProcessListButton", "QPushButton", "Odśwież liste", "TabSheet1", none);
        row("RunNewProgramButton", "QPushButton", "Uruchom program", "TabSheet1", none);
        row("ScreenShootButton", "QPushButton", "Podgląd ekranu", "TabSheet3", none);
        row("PowerOffMonitorButton", "QPushButton", "Wyłącz monitor", "TabSheet2", " Monitor ");
        row("PowerOnMonitorButton", "QPushButton", "Włącz monitor", "TabSheet2", " Monitor ");
        row("UnLockStartMenuButton", "QPushButton", "Odblokuj start menu", "TabSheet2",
            " Start menu ");
        row("LockStartMenuButton", "QPushButton", "Zablokuj start menu", "TabSheet2",
            " Start menu ");
        row("MessageTypeComboBox", "QComboBox", "Typ komunikatu:", "TabSheet2", " Komunikaty ");
        row("MessageEdit1", "QLineEdit", "Tekst komunikatu:", "TabSheet2", " Komunikaty ");
        row("MessageAnswerMemo", "QPlainTextEdit", "Odpowiedź:", "TabSheet2", " Komunikaty ");
        row("BitBtn3", "QPushButton", "Wyślij komunikat", "TabSheet2", " Komunikaty ");
        row("PowerOffPCOption", "QComboBox", "Wykonaj operacje na komputerze:", "TabSheet2",
            " Inne ");
        row("PowerOffPCButton", "QPushButton", "Zastosuj", "TabSheet2", " Inne ");
        row("DisableMouseButton", "QPushButton", "Wyłącz mysz", "TabSheet2", " Mysz / klawiatura ");
        row("EnableMouseButton", "QPushButton", "Włącz mysz", "TabSheet2", " Mysz / klawiatura ");
        row("BitBtn4", "QPushButton", "Wyłącz klawiaturę", "TabSheet2", " Mysz / klawiatura ");
        row("BitBtn5", "QPushButton", "Włącz klawiaturę", "TabSheet2", " Mysz / klawiatura ");
        row("GroupPowerOffMonitorButton", "QPushButton", "Wyłącz monitor", "TabSheet4",
            " Monitor ");
        row("GroupPowerOnMonitorButton", "QPushButton", "Włącz monitor", "TabSheet4", " Monitor ");
        row("GroupUnLockMouseButton", "QPushButton", "Podłącz mysz", "TabSheet4",
            " Mysz / klawiatura ");
        row("GroupLockMouseButton", "QPushButton", "Odłącz mysz", "TabSheet4",
            " Mysz / klawiatura ");
        row("GroupLockKeyboardButton", "QPushButton", "Odłącz klawiaturę", "TabSheet4",
            " Mysz / klawiatura ");
        row("GroupUnLockKeyboardButton", "QPushButton", "Podłącz klawiaturę", "TabSheet4",
            " Mysz / klawiatura ");
        row("EnableStartMenuAllButton", "QPushButton", "Włącz menu start", "TabSheet4",
            " Mysz / klawiatura ");
        row("DisableStartMenuAllButton", "QPushButton", "Wyłącz menu start", "TabSheet4",
            " Mysz / klawiatura ");
        row("GroupPowerOffPCOption", "QComboBox", "Wykonaj operacje na komputerze:", "TabSheet4",
            " Inne ");
        row("GroupPowerOffPCButton", "QPushButton", "Zastosuj", "TabSheet4", " Inne ");
        row("RemoteNameEdit", "QLineEdit", "Wybrany komputer:", "", " Lista kompurerów ");
        row("SendStatusEdit", "QLineEdit", "SEND", "", none);
        row("RcvStatusEdit", "QLineEdit", "RCV", "", none);
        row("StatusEdit", "QLineEdit", "STATUS", "", none);
    }

    void controls()
    {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(QString, caption);
        QFETCH(QString, tab);
        QFETCH(QString, group);

        ConsoleFixture console;
        TFMain &main = console.main();
        auto *control = main.findChild<QWidget *>(name);
        QVERIFY(control);
        QVERIFY(control->inherits(kind.toLatin1()));
        QCOMPARE(tabOf(control, main.PageControl1), tab);
        QCOMPARE(groupOf(control), group);
        QCOMPARE(control->accessibleName(), caption);
        if (auto *button = qobject_cast<QPushButton *>(control)) {
            QCOMPARE(button->text(), caption);
        } else {
            // A field's caption is the label in front of it.
            QLabel *label = labelOf(&main, control);
            QVERIFY(label);
            QCOMPARE(label->text(), caption);
        }
    }

    void composition()
    {
        ConsoleFixture console;
        TFMain &main = console.main();
        QCOMPARE(main.windowTitle(), QStringLiteral("Docentor"));

        QTabWidget *tabs = main.PageControl1;
        const QStringList pages{"TabSheet1", "TabSheet3", "TabSheet2", "TabSheet4", "TabSheet5"};
        const QStringList captions{"Lista programów", "Podgląd ekranu", "Różne",
                                   "Operacje zbiorcze ( wszystkie komputery z listy )",
                                   "Podgląd klasy"};
        QCOMPARE(tabs->count(), 5);
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(tabs->widget(i)->objectName(), pages[i]);
            QCOMPARE(tabs->tabText(i), captions[i]);
        }
        QCOMPARE(tabs->currentIndex(), 0);

        QCOMPARE(main.GroupBox6->title(), QStringLiteral(" Lista kompurerów "));
        QCOMPARE(main.GroupBox6->width(), 361);
        QCOMPARE(headers(main.RemoteComputersListView),
                 (QStringList{"Adres IP", "Nazwa komputera", "Port"}));
        QCOMPARE(widths(main.RemoteComputersListView), (QList<int>{100, 150, 70}));
        QCOMPARE(headers(main.ProcessListView), (QStringList{"Proces", "Opis", "PID"}));
        for (QTreeView *list :
             {main.RemoteComputersListView, static_cast<QTreeView *>(main.ProcessListView)}) {
            QCOMPARE(list->selectionBehavior(), QAbstractItemView::SelectRows);
            QCOMPARE(list->editTriggers(), QAbstractItemView::NoEditTriggers);
        }

        QCOMPARE(items(main.MessageTypeComboBox),
                 (QStringList{"Zwykła wiadomość ( przycisk OK )", "Pytanie ( przycisk TAK / NIE )",
                              "Komunikat z możliwością wpisania odpowiedzi"}));
        QCOMPARE(items(main.PowerOffPCOption), PowerChoices);
        QCOMPARE(items(main.GroupPowerOffPCOption), PowerChoices);
        for (QComboBox *list : main.findChildren<QComboBox *>())
            QVERIFY(!list->isEditable());

        QCOMPARE(main.MessageEdit1->text(), QStringLiteral("Treść"));
        QCOMPARE(main.MessageEdit1->width(), 513);
        QCOMPARE(main.MessageAnswerMemo->size(), QSize(513, 65));
        QVERIFY(main.MessageAnswerMemo->isReadOnly());
        // Every text field is read-only but the teacher's texts.
        for (QLineEdit *field : main.findChildren<QLineEdit *>()) {
            const bool typed = field == main.MessageEdit1
                               || field->objectName() == QLatin1String("PollQuestionEdit")
                               || qobject_cast<QAbstractSpinBox *>(field->parentWidget());
            QCOMPARE(field->isReadOnly(), !typed);
        }

        QCOMPARE(main.RemoteNameEdit->width(), 169);
        QCOMPARE(main.RemoteIPEdit->width(), 89);
        QCOMPARE(main.RemotePortEdit->width(), 89);
        QCOMPARE(main.StatusBar->height(), 19);
        QCOMPARE(main.Panel2->height(), 83);
        QCOMPARE(main.Panel4->height(), 82);
        QCOMPARE(main.Panel1->height(), 43);
        QCOMPARE(main.Panel3->height(), 43);

        QVERIFY(!main.UpdateTimer->isActive());
        QCOMPARE(main.PomocMenu->title(), QStringLiteral("Pomoc"));
        const QList<QAction *> actions = main.PomocMenu->actions();
        QCOMPARE(actions.size(), 2);
        QCOMPARE(actions[0], main.Sprawdczyjestnowawersja1);
        QCOMPARE(actions[0]->text(), QStringLiteral("Sprawdź czy jest nowa wersja"));
        QVERIFY(actions[1]->isSeparator());
    }

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

    void resizeRule()
    {
        ConsoleFixture console;
        TFMain &main = console.main();
        QTreeWidget *list = main.ProcessListView;
        main.resize(1444, 746);
        // The design widths hold until the first showing.
        QCOMPARE(widths(list), (QList<int>{150, 450, 80}));

        main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&main));
        QTRY_COMPARE(widths(list), (QList<int>{200, list->width() - 320, 80}));
        // The fields start right of the widest caption, 57 px where the
        // captions fit their design width of 48 px, and end 8 px before the
        // panel's edge.
        const QList<QLabel *> captions = main.Panel4->findChildren<QLabel *>();
        QCOMPARE(captions.size(), 3);
        int captionWidth = 48;
        for (const QLabel *caption : captions)
            captionWidth = std::max(captionWidth, textfit::labelWidth(caption, {caption->text()}));
        for (const QLabel *caption : captions) {
            QCOMPARE(caption->width(), captionWidth);
            QCOMPARE(caption->buddy()->x(), 8 + captionWidth + 1);
            QCOMPARE(caption->buddy()->width(), main.Panel4->width() - 8 - captionWidth - 1 - 8);
        }
        QCOMPARE(main.ScreenShootButton->x(), 10);

        // Widening the window by 100 px widens the status fields and the
        // "Opis" column by as much, and nothing else.
        const int field = main.StatusEdit->width();
        const int opis = list->columnWidth(1);
        const int nameWidth = main.RemoteNameEdit->width();
        main.resize(main.width() + 100, main.height());
        QTRY_COMPARE(main.StatusEdit->width(), field + 100);
        QCOMPARE(main.SendStatusEdit->width(), field + 100);
        QCOMPARE(main.RcvStatusEdit->width(), field + 100);
        QTRY_COMPARE(widths(list), (QList<int>{200, opis + 100, 80}));
        QCOMPARE(main.GroupBox6->width(), 361);
        QCOMPARE(main.Panel4->height(), 82);
        QCOMPARE(main.RemoteNameEdit->width(), nameWidth);
        QCOMPARE(widths(main.RemoteComputersListView), (QList<int>{100, 150, 70}));
    }

    void narrowProcessListNeverAsksForANegativeWidth_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("opis");
        QTest::newRow("wider than 320") << 500 << 180;
        QTest::newRow("exactly 320") << 320 << 0;
        QTest::newRow("narrower than 320") << 250 << 0;
        QTest::newRow("no width at all") << 0 << 0;
    }

    void narrowProcessListNeverAsksForANegativeWidth()
    {
        QFETCH(int, width);
        QFETCH(int, opis);
        ConsoleFixture console;
        TFMain &main = console.main();
        main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&main));
        main.ProcessListView->resize(width, main.ProcessListView->height());
        QCOMPARE(widths(main.ProcessListView), (QList<int>{200, opis, 80}));
    }
};

QTEST_MAIN(MainWindowTest)
#include "test_mainwindow.moc"
