#pragma once

#include <QByteArray>
#include <QImage>
#include <QObject>

class QCheckBox;
class QLabel;
class QScrollArea;
class QWidget;

// Shows a student's screen in "Podgląd ekranu": by default a picture larger
// than the tab is shrunk to fit it, proportions kept (a smaller one is never
// blown up); "100 %" shows it pixel for pixel, the tab scrolling.
class ScreenFit : public QObject
{
    Q_OBJECT
public:
    ScreenFit(QScrollArea *area, QLabel *label, QCheckBox *actualSize);

    // A picture may come fitted already (see bound): then fullSize is its
    // own size, and jpeg its bytes, decoded whole once it is wanted larger.
    void show(const QImage &picture, QSize fullSize = {}, const QByteArray &jpeg = {});
    const QImage &picture() const { return m_picture; }
    // What a picture larger than the tab is shrunk to fit now; empty at
    // "100 %" and while the window has not been shown.
    QSize bound() const;
    // The pages the tab is one of. Until the tab has been in sight it has no
    // size of its own, and a picture is fitted to the pages' size instead:
    // the tab will be no larger once it comes into sight.
    void fitOutOfSightTo(QWidget *pages);

signals:
    void boundChanged(QSize bound);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QSize room() const;
    void refit();
    void tellBound();
    const QImage &whole();

    QScrollArea *m_area;
    QObject *m_viewport;
    QWidget *m_pages = nullptr;
    QLabel *m_label;
    QCheckBox *m_actualSize;
    QImage m_picture;
    QSize m_fullSize;
    QByteArray m_jpeg;
    QSize m_room;
    QSize m_told;
};
