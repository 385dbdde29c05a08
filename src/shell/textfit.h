#pragma once

#include <QStringList>

class QLabel;
class QPushButton;

// The windows keep their controls' places, but a width drawn for one font
// cuts texts off in another: these are the widths the texts need in the font
// a control really uses.
namespace textfit {

// The width a label needs to show each of the texts whole.
int labelWidth(const QLabel *label, const QStringList &texts);

// The width a push button needs to show each of the captions whole, clear of
// its frame.
int buttonWidth(const QPushButton *button, const QStringList &captions);

} // namespace textfit
