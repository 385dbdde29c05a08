// The main window as the teacher meets it: its controls with their names,
// captions and places, and the resize rule. What its texts show and what
// assistive tools read of them is in test_windowtexts.
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
