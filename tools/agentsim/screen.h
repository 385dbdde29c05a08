#pragma once

#include <QImage>
#include <QSize>
#include <QString>
#include <QTime>

namespace agentsim {

// A simulated student screen: a desktop in the student's own colour, a few
// windows, a task bar, and the student's name in big letters, so the teacher
// sees at once whose screen the picture is. shot counts the pictures taken, so
// two pictures of one student differ. taken is the moment of the picture: a
// clock shows it and one window wanders with it, so that a picture refreshed
// every few seconds visibly changes, even in a thumbnail.
QImage renderScreen(const QString &name, int number, QSize size, int shot, quint32 seed,
                    QTime taken);

// The desktop colour of a student; neighbours get clearly different hues.
QColor studentColour(int number);

} // namespace agentsim
