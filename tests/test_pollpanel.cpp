// The panel of a question to the whole class: it follows the poll it shows,
// sends only a question that says something, and saves only a poll that is.
#include "commands/poll.h"
#include "platform/cp1250.h"
#include "shell/pollpanel.h"

#include <QAccessible>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>

namespace {

const QDateTime Start(QDate(2026, 12, 8), QTime(14, 5, 3));
const QString YesNoItem = QStringLiteral("Pytanie ( przycisk TAK / NIE )");
const QString TypedItem = QStringLiteral("Komunikat z możliwością wpisania odpowiedzi");
const QString PlainItem = QStringLiteral("Zwykła wiadomość");

struct Answer
{
    int computer;
    qint32 flag; // 1 yes, 0 no, 2 typed
    QString text;
};

PacketRecord answerPacket(const Answer &answer)
{
    PacketRecord packet;
    packet.iCommand = packet::Message;
    packet.iFlag = answer.flag;
    packet::setFieldText(packet.Bufor, cp1250::fromUnicode(answer.text + u'|'));
    return packet;
}

// A row as its cells joined by ";".
QStringList shownRows(const QTreeWidget *view)
{
    QStringList rows;
    for (int i = 0; i < view->topLevelItemCount(); ++i) {
        QStringList cells;
        for (int column = 0; column < view->columnCount(); ++column)
            cells.append(view->topLevelItem(i)->text(column));
        rows.append(cells.join(u';'));
    }
    return rows;
}

template<typename T>
T *control(const PollPanel &panel, const char *name)
{
    T *found = panel.findChild<T *>(QLatin1String(name));
    return found ? found : (qFatal("no control %s", name), nullptr);
}

} // namespace

Q_DECLARE_METATYPE(QList<Answer>)
Q_DECLARE_METATYPE(Poll::Kind)

class PollPanelTest : public QObject
{
    Q_OBJECT
private slots:
    void followsPoll_data()
    {
        QTest::addColumn<Poll::Kind>("kind");
        QTest::addColumn<bool>("builtAfterStart");
        QTest::addColumn<QList<Answer>>("answers"); // the n-th comes n seconds after the start
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QString>("tally");
        auto row = [](const char *name, Poll::Kind kind, bool late, const QList<Answer> &answers,
                      const QStringList &rows, const char *tally) {
            QTest::newRow(name) << kind << late << answers << rows << tally;
        };

        row("yes/no, nobody yet", Poll::YesNo, false, {},
            {"SALA-1;127.0.0.1;;", "SALA-2;127.0.0.2;;", "SALA-3;127.0.0.3;;"},
            "TAK: 0, NIE: 0, bez odpowiedzi: 3");
        row("yes/no, panel built on a running poll", Poll::YesNo, true, {{2, 0, ""}, {0, 1, ""}},
            {"SALA-1;127.0.0.1;TAK;14:05:05", "SALA-2;127.0.0.2;;",
             "SALA-3;127.0.0.3;NIE;14:05:04"},
            "TAK: 1, NIE: 1, bez odpowiedzi: 1");
        row("typed, other kind left out", Poll::Typed, false, {{0, 1, ""}, {1, 2, "Zażółć"}},
            {"SALA-1;127.0.0.1;;", "SALA-2;127.0.0.2;Zażółć;14:05:05", "SALA-3;127.0.0.3;;"},
            "odpowiedzi: 1 z 3");
        row("typed, a long answer", Poll::Typed, false,
            {{2, 2, "Odpowiedź na to pytanie jest dłuższa niż kolumna tabeli i kafelek"}},
            {"SALA-1;127.0.0.1;;", "SALA-2;127.0.0.2;;",
             "SALA-3;127.0.0.3;Odpowiedź na to pytanie jest dłuższa niż kolumna tabeli i "
             "kafelek;14:05:04"},
            "odpowiedzi: 1 z 3");
    }

    void followsPoll()
    {
        QFETCH(Poll::Kind, kind);
        QFETCH(bool, builtAfterStart);
        QFETCH(QList<Answer>, answers);
        QFETCH(QStringList, rows);
        QFETCH(QString, tally);

        QList<std::shared_ptr<int>> connections;
        QList<Poll::Computer> computers;
        for (int i = 1; i <= 3; ++i) {
            connections.append(std::make_shared<int>());
            computers.append({connections.last(), QStringLiteral("SALA-%1").arg(i),
                              QStringLiteral("127.0.0.%1").arg(i)});
        }
        Poll poll;
        if (builtAfterStart)
            poll.start(QStringLiteral("Czy skończyłeś?"), kind, computers, Start);
        PollPanel panel(poll);
        auto *save = control<QPushButton>(panel, "PollSaveButton");
        QCOMPARE(save->isEnabled(), builtAfterStart);
        if (!builtAfterStart)
            poll.start(QStringLiteral("Czy skończyłeś?"), kind, computers, Start);
        auto *view = control<QTreeWidget>(panel, "PollResultsView");
        // The teacher's place in the table stays as answers come in.
        view->setCurrentItem(view->topLevelItem(1));
        QTreeWidgetItem *current = view->currentItem();
        for (int i = 0; i < answers.size(); ++i)
            poll.record(connections.at(answers[i].computer), answerPacket(answers[i]),
                        Start.addSecs(i + 1));

        QCOMPARE(shownRows(view), rows);
        QCOMPARE(view->currentItem(), current);
        // The whole answer in the column's tooltip, and on the computer's tile.
        for (int i = 0; i < rows.size(); ++i) {
            const QString answer = rows[i].section(u';', 2, 2);
            QCOMPARE(view->topLevelItem(i)->toolTip(2), answer);
            QCOMPARE(poll.answerOf(connections[i]), answer);
        }
        auto *label = control<QLabel>(panel, "PollTallyLabel");
        QAccessibleInterface *heard = QAccessible::queryAccessibleInterface(label);
        QCOMPARE(label->text(), tally);
        QCOMPARE(heard->text(QAccessible::Description), tally);

        // A new poll to fewer computers leaves no row of the old one.
        poll.start(QStringLiteral("Drugie?"), Poll::Typed, {computers[2]}, Start);
        QCOMPARE(shownRows(view), QStringList{"SALA-3;127.0.0.3;;"});
        QCOMPARE(heard->text(QAccessible::Description), QStringLiteral("odpowiedzi: 0 z 1"));
        QSignalSpy saved(&panel, &PollPanel::saveRequested);
        save->click();
        QCOMPARE(saved.size(), 1);
    }

    void sendButton_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("kindItem");
        QTest::addColumn<bool>("sends");
        QTest::addColumn<Poll::Kind>("kind");
        QTest::newRow("yes/no") << "Czy skończyłeś?" << YesNoItem << true << Poll::YesNo;
        QTest::newRow("typed") << "Ile to 2+2?" << TypedItem << true << Poll::Typed;
        QTest::newRow("plain message") << "Koniec lekcji" << PlainItem << true << Poll::Plain;
        QTest::newRow("empty") << "" << YesNoItem << false << Poll::YesNo;
        QTest::newRow("blanks only") << "   " << TypedItem << false << Poll::Typed;
    }

    void sendButton()
    {
        QFETCH(QString, typed);
        QFETCH(QString, kindItem);
        QFETCH(bool, sends);
        QFETCH(Poll::Kind, kind);

        Poll poll;
        PollPanel panel(poll);
        auto *field = control<QLineEdit>(panel, "PollQuestionEdit");
        auto *kinds = control<QComboBox>(panel, "PollKindComboBox");
        auto *send = control<QPushButton>(panel, "PollSendButton");
        kinds->setCurrentIndex(kinds->findText(kindItem));
        QVERIFY(kinds->currentIndex() >= 0);
        QSignalSpy spy(&panel, &PollPanel::sendRequested);

        QVERIFY(!send->isEnabled());
        field->insert(typed); // as typed; keyClicks takes no Polish letters
        QCOMPARE(send->isEnabled(), sends);
        send->click(); // nothing while disabled
        QCOMPARE(spy.size(), int(sends));
        if (sends)
            QCOMPARE(spy.at(0), (QVariantList{typed, QVariant::fromValue(kind)}));
        field->clear();
        QVERIFY(!send->isEnabled());
    }

    void accessibleNames()
    {
        Poll poll;
        PollPanel panel(poll);
        const QList<std::pair<QWidget *, QString>> expected{
                {&panel, "Pytanie do wszystkich"},
                {control<QLineEdit>(panel, "PollQuestionEdit"), "Treść pytania:"},
                {control<QComboBox>(panel, "PollKindComboBox"), "Rodzaj pytania:"},
                {control<QPushButton>(panel, "PollSendButton"), "Wyślij do wszystkich"},
                {control<QTreeWidget>(panel, "PollResultsView"), "Wyniki pytania"},
                {control<QLabel>(panel, "PollTallyLabel"), "Podsumowanie odpowiedzi:"},
                {control<QPushButton>(panel, "PollSaveButton"), "Zapisz wyniki"}};
        for (const auto &[widget, name] : expected) {
            QCOMPARE(widget->accessibleName(), name);
            QAccessibleInterface *exposed = QAccessible::queryAccessibleInterface(widget);
            QString heard = exposed->text(QAccessible::Name);
            // Qt on Linux names a list by its label and reads the item shown
            // as the list's own name.
            if (qobject_cast<QComboBox *>(widget)) {
                const auto labels = exposed->relations(QAccessible::Label);
                heard = labels.isEmpty() ? QString()
                                         : labels.first().first->text(QAccessible::Name);
            }
            QCOMPARE(heard, name);
        }
    }
};

QTEST_MAIN(PollPanelTest)
#include "test_pollpanel.moc"
