#pragma once

#include "support/consolefixture.h"
#include "support/samples.h"

#include <QString>

// Connects a new agent from the given loopback address (127.0.0.x: each is a
// distinct peer address for the console) and waits until its row is listed.
TestAgent &connectAgentFrom(ConsoleFixture &console, const QString &address);

// Selects the row that shows this agent (address and port), as a click would.
void selectAgent(ConsoleFixture &console, TestAgent &agent);

// The live connection of the console that belongs to this agent.
platform::ConnectionPtr connectionOf(ConsoleFixture &console, TestAgent &agent);
