#pragma once

#include "commands/poll.h"

#include <QGroupBox>

class QComboBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class ValueLabel;

// The teacher's question to the whole class and the table of its answers.
// The panel only shows the poll it is given and asks for it to be sent or
// saved; whoever holds the poll does both. The poll must outlive the panel.
class PollPanel : public QGroupBox
{
    Q_OBJECT
public:
    PollPanel(const Poll &poll, QWidget *parent = nullptr);

signals:
    // The send button, with a question that is not blank.
    void sendRequested(const QString &question, Poll::Kind kind);
    // The save button, once a poll has started.
    void saveRequested();

private:
    void buildControls();
    void sendClicked();
    void showPoll();

    const Poll &m_poll;
    QLineEdit *m_questionEdit = nullptr;
    QComboBox *m_kindCombo = nullptr;
    QPushButton *m_sendButton = nullptr;
    QTreeWidget *m_resultsView = nullptr;
    ValueLabel *m_tallyLabel = nullptr;
    QPushButton *m_saveButton = nullptr;
};
