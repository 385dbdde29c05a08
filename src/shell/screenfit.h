#pragma once

#include <QImage>
#include <QObject>

class QCheckBox;
class QLabel;
class QScrollArea;

// Shows a student's screen in "Podgląd ekranu": by default a picture larger
// than the tab is shrunk to fit it, proportions kept (a smaller one is never
// blown up); "100 %" shows it pixel for pixel, the tab scrolling.
class ScreenFit : public QObject
{
    Q_OBJECT
public:
    ScreenFit(QScrollArea *area, QLabel *label, QCheckBox *actualSize);

    void show(const QImage &picture);
    const QImage &picture() const { return m_picture; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void refit();

    QScrollArea *m_area;
    QObject *m_viewport;
    QLabel *m_label;
    QCheckBox *m_actualSize;
    QImage m_picture;
};
