// The class overview tab, the question to the whole class, and the pictures
// saved as evidence.
#include "shell/tfmain.h"

#include "platform/cp1250.h"
#include "shell/classmodels.h"
#include "shell/controls.h"
#include "shell/dialogs.h"
#include "shell/overviewview.h"
#include "shell/pollpanel.h"
#include "shell/textfit.h"
#include "storage/datafolder.h"
#include "storage/evidence.h"
#include "storage/roomplan.h"
#include "storage/settings.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTreeView>

namespace {

// The overview's layout is the teacher's choice and outlives the window.
constexpr const char *FitTag = "<OVERVIEW FIT>";
constexpr const char *ZoomTag = "<OVERVIEW ZOOM>";
constexpr const char *PollShownTag = "<OVERVIEW POLL>";
constexpr const char *RoomShownTag = "<OVERVIEW ROOM>";

bool storedFlag(const char *tag, bool fallback)
{
    const QByteArray value = ReadSetting(tag).trimmed();
    return value == "TRUE" || (value != "FALSE" && fallback);
}

// Written only when it changes: restoring it at the first show writes nothing.
void keepSetting(const char *tag, const QByteArray &value)
{
    if (ReadSetting(tag).trimmed() != value)
        WriteSetting(tag, value);
}

void keepFlag(const char *tag, bool value)
{
    keepSetting(tag, value ? "TRUE" : "FALSE");
}

QList<evidence::Picture> keptPictures(const std::vector<Computer *> &computers)
{
    QList<evidence::Picture> pictures;
    for (const Computer *c : computers) {
        if (!c->state.picture.isEmpty())
            pictures.append({cp1250::toUnicode(c->hostName), cp1250::toUnicode(c->address),
                             c->state.picture, c->state.pictureTime});
    }
    return pictures;
}

void tellNothingToSave(QWidget *parent)
{
    Dialogs::instance().message(parent, QStringLiteral("Zapisz wszystkie"),
                                QStringLiteral("Nie ma jeszcze żadnych obrazów do zapisania"),
                                Dialogs::Icon::Information);
}

QString askResultsPath(QWidget *parent, const Poll &poll)
{
    return Dialogs::instance().saveFileName(parent, QStringLiteral("Zapisz wyniki"),
                                            evidence::proposedPollPath(poll.startedAt()),
                                            QStringLiteral("Arkusz CSV (*.csv)"));
}

} // namespace

void TFMain::buildOverviewTab()
{
    TabSheet5 = new QWidget;
    TabSheet5->setObjectName(QStringLiteral("TabSheet5"));
    auto *tab = new QHBoxLayout(TabSheet5);
    ClassOverviewView = new OverviewView(TabSheet5);
    ClassOverviewView->setObjectName(QStringLiteral("ClassOverviewView"));
    tab->addWidget(ClassOverviewView, 1);
    PollBox = new PollPanel(m_commander->poll(), TabSheet5);
    // 420 pixels where the window has them; narrower rather than widening
    // the window (the tiles then take what is left).
    PollBox->setMinimumWidth(280);
    PollBox->setMaximumWidth(420);
    PollBox->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    tab->addWidget(PollBox);
    // Folded until the teacher asks the class something: the whole class
    // then fits the tab.
    PollToggleButton = makeButton(TabSheet5, "PollToggleButton", PollBox->title());
    PollToggleButton->setCheckable(true);
    PollBox->setVisible(false);
    ClassOverviewView->addToTopBar(PollToggleButton);
}

void TFMain::buildSavePictureButton()
{
    SavePictureButton = makeButton(Panel3, "SavePictureButton", QStringLiteral("Zapisz obraz"));
    SavePictureButton->setGeometry(
            ScreenShootButton->geometry().right() + 9, ScreenShootButton->y(),
            std::max(130, textfit::buttonWidth(SavePictureButton, {SavePictureButton->text()})),
            ScreenShootButton->height());
    // Until a picture is shown there is nothing to keep.
    SavePictureButton->setEnabled(false);
}

void TFMain::wireOverview()
{
    OverviewView *view = ClassOverviewView;
    commands::ClassOverview *overview = m_overview.get();
    view->setModel(m_classOrder);
    connect(view, &OverviewView::tileClicked, this,
            [this](int row) { runShielded([&] { OverviewTileClick(row); }); });
    connect(view, &OverviewView::tileDoubleClicked, this,
            [this](int row) { runShielded([&] { OverviewTileDoubleClick(row); }); });
    connect(view, &OverviewView::intervalChanged, overview,
            &commands::ClassOverview::setIntervalSeconds);
    connect(view, &OverviewView::thumbnailSizeChanged, overview,
            &commands::ClassOverview::setThumbnailBound);
    overview->setThumbnailBound(view->thumbnailSize());
    connect(view, &OverviewView::saveAllRequested, this,
            shielded(&TFMain::SaveAllPicturesButtonClick));
    connect(SavePictureButton, &QPushButton::clicked, this,
            shielded(&TFMain::SavePictureButtonClick));
    connect(PollBox, &PollPanel::sendRequested, this,
            [this](const QString &question, Poll::Kind kind) {
                runShielded([&] { PollSendClick(question, kind); });
            });
    connect(PollBox, &PollPanel::saveRequested, this, shielded(&TFMain::PollSaveClick));
    // The answers on the tiles follow the poll and the list's places.
    connect(&m_commander->poll(), &Poll::changed, this, &TFMain::showAnswersOnTiles);
    connect(m_classOrder, &QAbstractItemModel::rowsInserted, this, &TFMain::showAnswersOnTiles);
    connect(m_classOrder, &QAbstractItemModel::rowsRemoved, this, &TFMain::showAnswersOnTiles);
    connect(m_classOrder, &QAbstractItemModel::layoutChanged, this, &TFMain::showAnswersOnTiles);
    connect(PollToggleButton, &QPushButton::toggled, this, [this](bool shown) {
        PollBox->setVisible(shown);
        keepFlag(PollShownTag, shown);
    });
    // Unfitted, the size the tiles had is the teacher's from then on.
    connect(view, &OverviewView::fitToWindowChanged, this, [view](bool fit) {
        keepFlag(FitTag, fit);
        if (!fit)
            keepSetting(ZoomTag, QByteArray::number(view->thumbnailSize().width()));
    });
    connect(view, &OverviewView::pictureWidthChosen, this,
            [](int width) { keepSetting(ZoomTag, QByteArray::number(width)); });
    connect(PageControl1, &QTabWidget::currentChanged, this, shielded(&TFMain::PageControl1Change));
    connect(view, &OverviewView::roomPlanChanged, this, shielded(&TFMain::RoomPlanChange));
    connect(view, &OverviewView::roomShownChanged, this, [this](bool shown) {
        if (m_overviewRestored)
            keepFlag(RoomShownTag, shown);
    });
}

// Pictures are asked for only while the teacher looks at them.
void TFMain::PageControl1Change()
{
    const bool shown = PageControl1->currentWidget() == TabSheet5;
    if (shown && !m_overviewRestored)
        restoreOverviewLayout();
    if (PageControl1->currentWidget() == TabSheet3)
        restoreWatchInterval();
    m_overview->setActive(shown);
}

void TFMain::restoreOverviewLayout()
{
    m_overviewRestored = true;
    m_overview->restoreInterval();
    ClassOverviewView->setIntervalSeconds(m_overview->intervalSeconds());
    bool stored = false;
    const int zoom = ReadSetting(ZoomTag).trimmed().toInt(&stored);
    if (!storedFlag(FitTag, true))
        ClassOverviewView->setPictureWidth(stored ? zoom
                                                  : ClassOverviewView->thumbnailSize().width());
    PollToggleButton->setChecked(storedFlag(PollShownTag, false));
    restoreRoomPlan();
}

void TFMain::restoreRoomPlan()
{
    const QString folder = GetDataFolder();
    if (folder.isEmpty()) {
        m_roomPlanWritable = false;
        return;
    }
    const roomplan::Loaded loaded = roomplan::load(folder);
    m_roomPlanWritable = loaded.writable;
    ClassOverviewView->setRoomPlan(loaded.plan);
    ClassOverviewView->setRoomShown(storedFlag(RoomShownTag, false));
    if (!loaded.error.isEmpty())
        Dialogs::instance().message(this, QStringLiteral("Układ sali"), loaded.error,
                                    Dialogs::Icon::Warning);
}

void TFMain::RoomPlanChange()
{
    const QString folder = GetDataFolder();
    if (!m_roomPlanWritable || folder.isEmpty())
        return;
    if (!roomplan::save(folder, ClassOverviewView->roomPlan()))
        StatusEdit->setText(QStringLiteral("Nie udało się zapisać planu sali"));
}

// As a click on the computer's row.
void TFMain::OverviewTileClick(int row)
{
    RemoteComputersListView->setCurrentIndex(m_listColumns->index(row, 0));
    RemoteComputersListViewClick();
}

// The tile's own picture, full size, without asking the computer again.
void TFMain::OverviewTileDoubleClick(int row)
{
    OverviewTileClick(row);
    const Computer *c = m_classOrder->computerAt(row);
    if (c && !c->state.picture.isEmpty())
        showKeptPicture(*c);
    // And watched from then on.
    PageControl1->setCurrentWidget(TabSheet3);
    if (WatchButton->isChecked())
        WatchButtonClick();
    else
        WatchButton->click();
}

void TFMain::showKeptPicture(const Computer &c)
{
    if (!showScreenPicture(c.state.picture))
        return;
    m_shownPicture = {c.state.picture, ownerOf(&c), c.state.pictureTime};
    showOwner(ScreenShootImage, m_shownPicture.owner);
    // The tab names the computer it shows, not the last one streamed.
    ScreenStatusBar->showMessage(
            QStringLiteral("obraz z podglądu klasy: %1 (%2), %3")
                    .arg(m_shownPicture.owner.hostName, m_shownPicture.owner.address,
                         c.state.pictureTime.toString(QStringLiteral("HH:mm:ss"))));
    SavePictureButton->setEnabled(true);
    PageControl1->setCurrentWidget(TabSheet3);
}

void TFMain::showSaved(const QString &what, const QString &path, int error)
{
    if (error == 0)
        Dialogs::instance().message(this, QStringLiteral("Zapisano"),
                                    what + QStringLiteral(": ") + path, Dialogs::Icon::Information);
    else
        Dialogs::instance().message(this, QStringLiteral("Błąd zapisu"),
                                    QStringLiteral("Nie udało się zapisać: %1 (%2)")
                                            .arg(path, QString::fromLocal8Bit(strerror(error))),
                                    Dialogs::Icon::Warning);
}

void TFMain::SavePictureButtonClick()
{
    if (m_shownPicture.jpeg.isEmpty()
        || !ownedBySelected(m_shownPicture.owner,
                            QStringLiteral("Obraz pokazuje inny komputer (%1): wybierz go z listy, "
                                           "aby zapisać ten obraz")))
        return;
    const Owner &owner = m_shownPicture.owner;
    const evidence::Saved saved = evidence::savePicture(
            {owner.hostName, owner.address, m_shownPicture.jpeg, m_shownPicture.at});
    showSaved(QStringLiteral("Obraz zapisano w pliku"), saved.path, saved.error);
}

void TFMain::SaveAllPicturesButtonClick()
{
    const QList<evidence::Picture> pictures = keptPictures(m_classOrder->computers());
    if (pictures.isEmpty())
        return tellNothingToSave(this);
    const evidence::SavedAll saved
            = evidence::saveAllPictures(pictures, QDateTime::currentDateTime());
    showSaved(QStringLiteral("Obrazy (%1) zapisano w folderze").arg(saved.files.size()), saved.path,
              saved.error);
}

void TFMain::PollSendClick(const QString &question, Poll::Kind kind)
{
    m_commander->sendPoll(question, kind, m_classOrder->computers());
}

void TFMain::showAnswersOnTiles()
{
    const Poll &poll = m_commander->poll();
    const std::vector<Computer *> computers = m_classOrder->computers();
    for (int row = 0; row < int(computers.size()); ++row)
        ClassOverviewView->setAnswer(
                row, poll.isStarted() ? poll.answerOf(computers[row]->connection) : QString());
}

void TFMain::PollSaveClick()
{
    const Poll &poll = m_commander->poll();
    const QString path = askResultsPath(this, poll);
    if (path.isEmpty())
        return;
    const evidence::Saved saved = poll.saveResults(path);
    showSaved(QStringLiteral("Wyniki zapisano w pliku"), saved.path, saved.error);
}
