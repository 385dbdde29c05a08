#include "shell/textfit.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>

#include <algorithm>

namespace textfit {

namespace {

int textWidth(const QFontMetrics &metrics, const QString &text)
{
    // The bounding box can reach past the advance (an overhanging last
    // glyph), and the label draws within both.
    return std::max(metrics.horizontalAdvance(text),
                    metrics.boundingRect(QRect(), Qt::TextSingleLine, text).width());
}

} // namespace

int labelWidth(const QLabel *label, const QStringList &texts)
{
    const QFontMetrics metrics = label->fontMetrics();
    // Frame, margin and indent all come off the width the text is drawn in.
    const int indent = label->indent() > 0 ? label->indent() : 0;
    const int around = label->width() - label->contentsRect().width() + indent;
    int widest = 0;
    for (const QString &text : texts)
        widest = std::max(widest, textWidth(metrics, text));
    return widest + around;
}

int buttonWidth(const QPushButton *button, const QStringList &captions)
{
    const QFontMetrics metrics = button->fontMetrics();
    QStyleOptionButton option;
    option.initFrom(button);
    option.rect = QRect(0, 0, 200, 30);
    if (button->autoDefault())
        option.features |= QStyleOptionButton::AutoDefaultButton;
    if (button->isDefault())
        option.features |= QStyleOptionButton::DefaultButton;
    QStyle *style = button->style();
    // The caption is drawn inside the contents rectangle; a margin keeps it
    // off the frame.
    const int frame
            = option.rect.width()
              - style->subElementRect(QStyle::SE_PushButtonContents, &option, button).width();
    const int margin = style->pixelMetric(QStyle::PM_ButtonMargin, &option, button);
    int widest = 0;
    for (const QString &caption : captions)
        widest = std::max(widest, textWidth(metrics, caption));
    return widest + frame + margin;
}

} // namespace textfit
