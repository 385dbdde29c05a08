#include "shell/pollpanel.h"

#include "shell/controls.h"
#include "shell/valuelabel.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

namespace {

QLabel *makeLabel(QWidget *parent, const QString &text, QWidget *buddy)
{
    auto *label = new QLabel(text, parent);
    label->setBuddy(buddy);
    return label;
}

// A blank question would reach every student as an empty box to answer.
bool isBlank(const QString &question)
{
    return question.trimmed().isEmpty();
}

} // namespace

PollPanel::PollPanel(const Poll &poll, QWidget *parent)
    : QGroupBox(QStringLiteral("Pytanie do wszystkich"), parent)
    , m_poll(poll)
{
    setObjectName(QStringLiteral("PollPanel"));
    setAccessibleName(title());
    buildControls();

    connect(m_questionEdit, &QLineEdit::textChanged, this,
            [this](const QString &text) { m_sendButton->setEnabled(!isBlank(text)); });
    connect(m_sendButton, &QPushButton::clicked, this, &PollPanel::sendClicked);
    connect(m_saveButton, &QPushButton::clicked, this, &PollPanel::saveRequested);
    connect(&m_poll, &Poll::changed, this, &PollPanel::showPoll);
    m_sendButton->setEnabled(false);
    showPoll();
}

void PollPanel::buildControls()
{
    const QString questionLabel = QStringLiteral("Treść pytania:");
    m_questionEdit = new QLineEdit(this);
    m_questionEdit->setObjectName(QStringLiteral("PollQuestionEdit"));
    m_questionEdit->setAccessibleName(questionLabel);

    // The words of the console's message list, so that the teacher knows
    // what the students will see.
    const QString kindLabel = QStringLiteral("Rodzaj pytania:");
    m_kindCombo = new QComboBox(this);
    m_kindCombo->setObjectName(QStringLiteral("PollKindComboBox"));
    m_kindCombo->setAccessibleName(kindLabel);
    m_kindCombo->addItem(QStringLiteral("Pytanie ( przycisk TAK / NIE )"), int(Poll::YesNo));
    m_kindCombo->addItem(QStringLiteral("Komunikat z możliwością wpisania odpowiedzi"),
                         int(Poll::Typed));
    m_kindCombo->addItem(QStringLiteral("Zwykła wiadomość"), int(Poll::Plain));
    // The long caption is elided in a narrow panel rather than widening it
    // (and with it the window); the list shows it whole.
    m_kindCombo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_kindCombo->setMinimumContentsLength(16);

    m_sendButton = makeButton(this, "PollSendButton", QStringLiteral("Wyślij do wszystkich"));

    m_resultsView = new QTreeWidget(this);
    m_resultsView->setObjectName(QStringLiteral("PollResultsView"));
    m_resultsView->setAccessibleName(QStringLiteral("Wyniki pytania"));
    m_resultsView->setHeaderLabels(Poll::header());
    m_resultsView->setRootIsDecorated(false);
    m_resultsView->setUniformRowHeights(true);
    m_resultsView->header()->setStretchLastSection(false);
    m_resultsView->header()->setSectionResizeMode(2, QHeaderView::Stretch);

    const QString tallyName = QStringLiteral("Podsumowanie odpowiedzi:");
    m_tallyLabel = new ValueLabel(QString(), this);
    m_tallyLabel->setObjectName(QStringLiteral("PollTallyLabel"));
    m_tallyLabel->setAccessibleName(tallyName);

    m_saveButton = makeButton(this, "PollSaveButton", QStringLiteral("Zapisz wyniki"));

    // One control a row: the kinds' long captions and the tally need the
    // panel's whole width.
    m_tallyLabel->setWordWrap(true);
    auto *grid = new QGridLayout(this);
    grid->addWidget(makeLabel(this, questionLabel, m_questionEdit), 0, 0);
    grid->addWidget(m_questionEdit, 0, 1);
    grid->addWidget(makeLabel(this, kindLabel, m_kindCombo), 1, 0);
    grid->addWidget(m_kindCombo, 1, 1);
    grid->addWidget(m_sendButton, 2, 1, Qt::AlignRight);
    grid->addWidget(m_resultsView, 3, 0, 1, 2);
    grid->addWidget(makeLabel(this, tallyName, m_tallyLabel), 4, 0);
    grid->addWidget(m_tallyLabel, 4, 1);
    grid->addWidget(m_saveButton, 5, 1, Qt::AlignRight);
    grid->setColumnStretch(1, 1);
}

void PollPanel::sendClicked()
{
    const QString question = m_questionEdit->text();
    if (isBlank(question))
        return;
    emit sendRequested(question, Poll::Kind(m_kindCombo->currentData().toInt()));
}

void PollPanel::showPoll()
{
    // The rows are rewritten in place: an answer coming in while the teacher
    // reads the table must not move its scroll position or selection.
    const QList<Poll::Row> rows = m_poll.rows();
    while (m_resultsView->topLevelItemCount() > rows.size())
        delete m_resultsView->takeTopLevelItem(m_resultsView->topLevelItemCount() - 1);
    while (m_resultsView->topLevelItemCount() < rows.size())
        m_resultsView->addTopLevelItem(new QTreeWidgetItem);
    for (int i = 0; i < rows.size(); ++i) {
        const Poll::Row &row = rows.at(i);
        const QStringList texts{row.computer, row.address, row.answer, row.time};
        QTreeWidgetItem *item = m_resultsView->topLevelItem(i);
        for (int column = 0; column < texts.size(); ++column)
            item->setText(column, texts.at(column));
        // A typed answer longer than its column is read whole here.
        item->setToolTip(2, row.answer);
    }
    m_tallyLabel->setText(m_poll.tally());
    m_saveButton->setEnabled(m_poll.isStarted());
}
