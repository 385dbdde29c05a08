#pragma once

#include "startup.h"
#include "shell/tfmain.h"
#include "support/fakedialogs.h"
#include "support/tempdata.h"
#include "support/testagent.h"

#include <memory>
#include <vector>

// A whole console for one test: its own data folder, scripted dialogs, the
// three windows, and the server listening on a free port of 127.0.0.1's
// machine. The stream receivers keep their real timing unless a test
// shortens it.
class ConsoleFixture
{
public:
    ConsoleFixture();
    ~ConsoleFixture();

    TempDataHome data;
    FakeDialogs dialogs;
    AppWindows windows;
    TFMain &main() { return *windows.main; }
    quint16 port() const { return m_port; }

    // Runs the start-up steps after the single-instance check.
    void start();

    // Connects a new agent and waits until its row is listed and its name
    // looked up.
    TestAgent &connectAgent();
    // Waits until the name of the computer at this port is looked up.
    void waitForName(quint16 agentPort);

    // Selects the row of the computer list whose port column is the agent's
    // local port, as a click would.
    void select(const TestAgent &agent);
    void selectRow(int row);

    // The computer list as the teacher reads it.
    int listRows();
    QString listText(int row, int column);

    std::vector<std::unique_ptr<TestAgent>> agents;

private:
    quint16 m_port = 0;
};
