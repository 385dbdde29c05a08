// One student watched: "Obserwuj" beside "Podgląd ekranu", and the picture
// fitted to the tab or shown at 100 %.
#include "shell/tfmain.h"

#include "platform/cp1250.h"
#include "shell/controls.h"
#include "shell/screenfit.h"
#include "shell/textfit.h"
#include "storage/settings.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>

namespace {

constexpr const char *WatchIntervalTag = "<WATCH INTERVAL>";

} // namespace

void TFMain::buildWatchControls()
{
    const QRect save = SavePictureButton->geometry();
    WatchButton = makeButton(Panel3, "WatchButton", QStringLiteral("Obserwuj"));
    WatchButton->setCheckable(true);
    WatchButton->setToolTip(QStringLiteral("Odświeżaj obraz wybranego komputera, aż do "
                                           "ponownego kliknięcia"));
    WatchButton->setGeometry(
            save.right() + 25, save.y(),
            std::max(110, textfit::buttonWidth(WatchButton, {WatchButton->text()})), save.height());
    const QString every = QStringLiteral("Odświeżaj co:");
    auto *label = new QLabel(every, Panel3);
    label->adjustSize();
    label->move(WatchButton->geometry().right() + 9,
                save.y() + (save.height() - label->height()) / 2);
    WatchIntervalSpinBox = new QSpinBox(Panel3);
    WatchIntervalSpinBox->setObjectName(QStringLiteral("WatchIntervalSpinBox"));
    WatchIntervalSpinBox->setAccessibleName(every);
    WatchIntervalSpinBox->setRange(commands::Watch::MinIntervalSeconds,
                                   commands::Watch::MaxIntervalSeconds);
    // The kept interval is read once the teacher comes to the tab: nothing is
    // read from disk (nor the data folder made) before start-up runs.
    WatchIntervalSpinBox->setValue(commands::Watch::DefaultIntervalSeconds);
    WatchIntervalSpinBox->setSuffix(QStringLiteral(" s"));
    WatchIntervalSpinBox->setGeometry(label->geometry().right() + 6, save.y(), 70, save.height());
    label->setBuddy(WatchIntervalSpinBox);

    ActualSizeCheckBox = makeCheckBox(Panel3, "ActualSizeCheckBox", QStringLiteral("100 %"));
    ActualSizeCheckBox->setToolTip(QStringLiteral("Obraz w rzeczywistej wielkości; bez tego "
                                                  "dopasowany do okna"));
    ActualSizeCheckBox->adjustSize();
    ActualSizeCheckBox->move(WatchIntervalSpinBox->geometry().right() + 25,
                             save.y() + (save.height() - ActualSizeCheckBox->height()) / 2);
    m_screenFit = new ScreenFit(ScrollBox1, ScreenShootImage, ActualSizeCheckBox);
    // The teacher's pictures are decoded at the size they are shown at.
    connect(m_screenFit, &ScreenFit::boundChanged, this, [this](QSize bound) {
        if (m_classroom) // not while the window goes
            m_classroom->setScreenBound(bound);
    });
}

void TFMain::wireWatch()
{
    m_watch->setIntervalSeconds(WatchIntervalSpinBox->value());
    connect(WatchButton, &QPushButton::clicked, this, shielded(&TFMain::WatchButtonClick));
    connect(WatchIntervalSpinBox, &QSpinBox::valueChanged, this, [this](int seconds) {
        m_watch->setIntervalSeconds(seconds);
        WriteSetting(WatchIntervalTag, QByteArray::number(m_watch->intervalSeconds()));
    });
    connect(m_watch.get(), &commands::Watch::pictureReceived, this,
            [this](Computer *computer) { runShielded([&] { WatchPictureReceived(computer); }); });
    connect(m_watch.get(), &commands::Watch::stopped, this, [this] {
        WatchButton->setChecked(false);
        ScreenStatusBar->showMessage(QStringLiteral("Obserwowanie zakończone"));
    });
}

void TFMain::restoreWatchInterval()
{
    if (m_watchRestored)
        return;
    m_watchRestored = true;
    bool stored = false;
    const int seconds = ReadSetting(WatchIntervalTag).trimmed().toInt(&stored);
    if (stored) {
        const QSignalBlocker quiet(WatchIntervalSpinBox);
        WatchIntervalSpinBox->setValue(seconds);
        m_watch->setIntervalSeconds(WatchIntervalSpinBox->value());
    }
}

void TFMain::WatchButtonClick()
{
    restoreWatchInterval();
    if (!WatchButton->isChecked())
        return m_watch->stop();
    Computer *computer = m_classroom->selected();
    if (!computer || !computer->isOpen()) {
        WatchButton->setChecked(false);
        ScreenStatusBar->showMessage(QStringLiteral("Wybierz komputer z listy, aby go obserwować"));
        return;
    }
    m_watch->setThumbnailBound(m_overview->thumbnailBound());
    const Owner owner = ownerOf(computer);
    ScreenStatusBar->showMessage(
            QStringLiteral("Obserwuję: %1 (%2)").arg(owner.hostName, owner.address));
    m_watch->start(computer);
}

void TFMain::WatchPictureReceived(Computer *computer)
{
    if (!showScreenPicture(computer->state.picture))
        return;
    m_shownPicture = {computer->state.picture, ownerOf(computer), computer->state.pictureTime};
    showOwner(ScreenShootImage, m_shownPicture.owner);
    ScreenStatusBar->showMessage(
            QStringLiteral("Obserwuję: %1 (%2), obraz z %3")
                    .arg(m_shownPicture.owner.hostName, m_shownPicture.owner.address,
                         computer->state.pictureTime.toString(QStringLiteral("HH:mm:ss"))));
    SavePictureButton->setEnabled(true);
}
