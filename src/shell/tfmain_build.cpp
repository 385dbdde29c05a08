// The main window's controls: their names, captions, places and accessible
// names, one part of the window at a time.
#include "shell/tfmain.h"

#include "shell/classmodels.h"
#include "shell/controls.h"
#include "shell/screenfit.h"
#include "shell/textfit.h"

#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStatusBar>
#include <QTabWidget>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <type_traits>

namespace {

template<typename Field = QLineEdit>
Field *makeField(QWidget *parent, const char *name, const QString &label, bool readOnly)
{
    auto *field = new Field(parent);
    field->setObjectName(QLatin1String(name));
    field->setReadOnly(readOnly);
    field->setAccessibleName(label);
    if constexpr (std::is_same_v<Field, PacedLine>)
        return field; // it shows each text from its start itself
    // setText leaves the cursor at the end, which scrolls a long text to its
    // tail. A new text is shown from its start, unless the teacher is typing
    // in the field.
    QObject::connect(field, &QLineEdit::textChanged, field, [field] {
        if (field->isReadOnly() || !field->hasFocus())
            field->setCursorPosition(0);
    });
    return field;
}

QLabel *makeLabel(QWidget *parent, const QString &text, QWidget *buddy)
{
    auto *label = new QLabel(text, parent);
    label->setBuddy(buddy);
    return label;
}

QComboBox *makePowerChoice(QWidget *parent, const char *name)
{
    auto *combo = new QComboBox(parent);
    combo->setObjectName(QLatin1String(name));
    combo->setEditable(false);
    combo->addItems({QStringLiteral("Wyłącz komputer"), QStringLiteral("Wyloguj"),
                     QStringLiteral("Zrestartuj")});
    combo->setAccessibleName(QStringLiteral("Wykonaj operacje na komputerze:"));
    return combo;
}

QStatusBar *makeStatusLine(QWidget *parent, const char *name, const QString &accessibleName)
{
    auto *bar = new QStatusBar(parent);
    bar->setObjectName(QLatin1String(name));
    bar->setSizeGripEnabled(false);
    bar->setAccessibleName(accessibleName);
    // The message is painted, not a child: assistive tools read it here.
    QObject::connect(bar, &QStatusBar::messageChanged, bar,
                     [bar](const QString &message) { bar->setAccessibleDescription(message); });
    return bar;
}

template<typename View>
View *makeReportList(QWidget *parent, const char *name, const QStringList &headers,
                     const QList<int> &widths, const QString &accessibleName,
                     QAbstractItemModel *model = nullptr)
{
    auto *list = new View(parent);
    if constexpr (std::is_same_v<View, QTreeView>)
        list->setModel(model);
    list->setObjectName(QLatin1String(name));
    list->setRootIsDecorated(false);
    list->setItemsExpandable(false);
    list->setUniformRowHeights(true);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    if constexpr (std::is_same_v<View, QTreeWidget>)
        list->setHeaderLabels(headers);
    list->header()->setStretchLastSection(false);
    list->header()->setSectionsMovable(false);
    for (int i = 0; i < widths.size(); ++i)
        list->setColumnWidth(i, widths[i]);
    list->setAccessibleName(accessibleName);
    return list;
}

QGroupBox *makeGroup(QWidget *parent, const QString &caption)
{
    auto *group = new QGroupBox(caption, parent);
    group->setAccessibleName(caption.trimmed());
    return group;
}

} // namespace

void TFMain::buildWindow()
{
    placeWindow();
    buildMenu();

    auto *central = new QWidget(this);
    auto *outer = new QVBoxLayout(central);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    setCentralWidget(central);

    StatusBar = makeStatusLine(central, "StatusBar", QStringLiteral("Komputer lokalny"));
    StatusBar->setFixedHeight(19);
    outer->addWidget(StatusBar);

    auto *middle = new QHBoxLayout;
    middle->setContentsMargins(0, 0, 0, 0);
    middle->setSpacing(0);
    outer->addLayout(middle, 1);

    // Left: the computers; right: the tabs.
    middle->addWidget(buildComputerList(central));
    PageControl1 = new QTabWidget(central);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    PageControl1->setAccessibleName(QStringLiteral("Zakładki"));
    middle->addWidget(PageControl1, 1);
    buildProcessTab();
    buildScreenTab();
    buildMiscTab();
    buildGroupTab();
    buildOverviewTab();
    PageControl1->addTab(TabSheet1, QStringLiteral("Lista programów"));
    PageControl1->addTab(TabSheet3, QStringLiteral("Podgląd ekranu"));
    PageControl1->addTab(TabSheet2, QStringLiteral("Różne"));
    PageControl1->addTab(TabSheet4,
                         QStringLiteral("Operacje zbiorcze ( wszystkie komputery z listy )"));
    PageControl1->addTab(TabSheet5, QStringLiteral("Podgląd klasy"));
    PageControl1->setCurrentIndex(0);
    m_screenFit->fitOutOfSightTo(TabSheet3->parentWidget());

    outer->addWidget(buildTrafficFields(central));

    // The resize rule also follows the panel and the list themselves, since
    // the layouts size them after the window's own resize event.
    Panel4->installEventFilter(this);
    ProcessListView->installEventFilter(this);
}

void TFMain::placeWindow()
{
    setWindowTitle(QStringLiteral("Docentor"));
    // Opened maximised; the design size, centred, is what un-maximising
    // brings back.
    resize(1444, 746);
    if (const QScreen *screen = this->screen()) {
        const QRect area = screen->availableGeometry();
        QRect design(QPoint(), size());
        design.moveCenter(area.center());
        // A screen smaller than the design keeps the title bar in reach.
        move(std::max(design.left(), area.left()), std::max(design.top(), area.top()));
    }
}

void TFMain::buildMenu()
{
    MainMenu1 = new QMenuBar(this);
    MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
    PomocMenu = MainMenu1->addMenu(QStringLiteral("Pomoc"));
    PomocMenu->setObjectName(QStringLiteral("Pomoc1"));
    Sprawdczyjestnowawersja1 = PomocMenu->addAction(QStringLiteral("Sprawdź czy jest nowa wersja"));
    Sprawdczyjestnowawersja1->setObjectName(QStringLiteral("Sprawdczyjestnowawersja1"));
    PomocMenu->addSeparator();
    setMenuBar(MainMenu1);
}

QWidget *TFMain::buildComputerList(QWidget *parent)
{
    // Left: the computers.
    GroupBox6 = makeGroup(parent, QStringLiteral(" Lista kompurerów "));
    GroupBox6->setObjectName(QStringLiteral("GroupBox6"));
    GroupBox6->setFixedWidth(361);
    auto *leftLayout = new QVBoxLayout(GroupBox6);
    // Before the views follow the roster: a row that leaves may move the
    // list's current row, and that move is no choice of the teacher's.
    const Roster &roster = m_classroom->roster();
    connect(&roster, &Roster::rowsAboutToBeRemoved, this, [this] { m_rowsLeaving = true; });
    connect(&roster, &Roster::rowsRemoved, this, [this] { m_rowsLeaving = false; });
    m_classOrder = new ClassOrder(m_classroom->roster(), this);
    m_listColumns = new RoleColumns({{QStringLiteral("Adres IP"), Roster::AddressRole},
                                     {QStringLiteral("Nazwa komputera"), Roster::NameRole},
                                     {QStringLiteral("Port"), Roster::PortRole}},
                                    this);
    m_listColumns->setSourceModel(m_classOrder);
    RemoteComputersListView
            = makeReportList<QTreeView>(GroupBox6, "RemoteComputersListView", {}, {100, 150, 70},
                                        QStringLiteral("Lista kompurerów"), m_listColumns);
    // The rows stand in the class's order (by address); a header click
    // must not re-sort them, the group commands walk them in that order.
    RemoteComputersListView->header()->setSectionsClickable(false);
    RemoteComputersListView->header()->setSortIndicatorShown(false);
    leftLayout->addWidget(RemoteComputersListView, 1);

    Panel2 = new QWidget(GroupBox6);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel2->setFixedHeight(83);
    leftLayout->addWidget(Panel2);
    RemoteNameEdit = makeField<PacedLine>(Panel2, "RemoteNameEdit",
                                          QStringLiteral("Wybrany komputer:"), true);
    RemoteIPEdit = makeField<PacedLine>(Panel2, "RemoteIPEdit", QStringLiteral("Adres IP"), true);
    RemotePortEdit = makeField<PacedLine>(Panel2, "RemotePortEdit", QStringLiteral("Port"), true);
    QLabel *selected = makeLabel(Panel2, QStringLiteral("Wybrany komputer:"), RemoteNameEdit);
    selected->setGeometry(8, 4, std::max(120, textfit::labelWidth(selected, {selected->text()})),
                          16);
    RemoteNameEdit->setGeometry(8, 20, 169, 20);
    RemoteIPEdit->setGeometry(8, 41, 89, 20);
    RemotePortEdit->setGeometry(8, 62, 89, 20);
    return GroupBox6;
}

void TFMain::buildProcessTab()
{
    // Tab "Lista programów".
    TabSheet1 = new QWidget;
    TabSheet1->setObjectName(QStringLiteral("TabSheet1"));
    auto *tab1 = new QVBoxLayout(TabSheet1);
    ProcessListStatusBar = makeStatusLine(TabSheet1, "ProcessListStatusBar",
                                          QStringLiteral("Stan listy programów"));
    tab1->addWidget(ProcessListStatusBar);
    ProcessListView = makeReportList<QTreeWidget>(
            TabSheet1, "ProcessListView",
            {QStringLiteral("Proces"), QStringLiteral("Opis"), QStringLiteral("PID")},
            {150, 450, 80}, QStringLiteral("Lista programów"));
    tab1->addWidget(ProcessListView, 1);
    Panel1 = new QWidget(TabSheet1);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFixedHeight(43);
    auto *panel1 = new QHBoxLayout(Panel1);
    CloseProgramButton
            = makeButton(Panel1, "CloseProgramButton", QStringLiteral("Zamknij program"));
    ReloadProcessListButton
            = makeButton(Panel1, "ReloadProcessListButton", QStringLiteral("Odśwież liste"));
    RunNewProgramButton
            = makeButton(Panel1, "RunNewProgramButton", QStringLiteral("Uruchom program"));
    panel1->addWidget(CloseProgramButton);
    panel1->addWidget(ReloadProcessListButton);
    panel1->addWidget(RunNewProgramButton);
    panel1->addStretch(1);
    tab1->addWidget(Panel1);
}

void TFMain::buildScreenTab()
{
    // Tab "Podgląd ekranu".
    TabSheet3 = new QWidget;
    TabSheet3->setObjectName(QStringLiteral("TabSheet3"));
    auto *tab3 = new QVBoxLayout(TabSheet3);
    ScreenStatusBar
            = makeStatusLine(TabSheet3, "ScreenStatusBar", QStringLiteral("Stan podglądu ekranu"));
    tab3->addWidget(ScreenStatusBar);
    ScrollBox1 = new QScrollArea(TabSheet3);
    ScrollBox1->setObjectName(QStringLiteral("ScrollBox1"));
    ScrollBox1->setAccessibleName(QStringLiteral("Podgląd ekranu"));
    ScrollBox1->setWidgetResizable(false);
    ScreenShootImage = new QLabel;
    ScreenShootImage->setObjectName(QStringLiteral("ScreenShootImage"));
    ScreenShootImage->setAccessibleName(QStringLiteral("Obraz ekranu"));
    // Sized to each picture, so the picture is drawn as it is: a label
    // that scales its contents would convert and scale a copy of every new
    // picture for its first paint.
    ScreenShootImage->setScaledContents(false);
    ScreenShootImage->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    ScreenShootImage->resize(0, 0);
    ScrollBox1->setWidget(ScreenShootImage);
    tab3->addWidget(ScrollBox1, 1);
    Panel3 = new QWidget(TabSheet3);
    Panel3->setObjectName(QStringLiteral("Panel3"));
    Panel3->setFixedHeight(43);
    ScreenShootButton = makeButton(Panel3, "ScreenShootButton", QStringLiteral("Podgląd ekranu"));
    ScreenShootButton->setGeometry(
            10, 8,
            std::max(130, textfit::buttonWidth(ScreenShootButton, {ScreenShootButton->text()})),
            27);
    buildSavePictureButton();
    buildWatchControls();
    tab3->addWidget(Panel3);
}

void TFMain::buildMiscTab()
{
    // Tab "Różne".
    TabSheet2 = new QWidget;
    TabSheet2->setObjectName(QStringLiteral("TabSheet2"));
    auto *tab2 = new QVBoxLayout(TabSheet2);

    auto *monitor = makeGroup(TabSheet2, QStringLiteral(" Monitor "));
    auto *monitorRow = new QHBoxLayout(monitor);
    PowerOffMonitorButton
            = makeButton(monitor, "PowerOffMonitorButton", QStringLiteral("Wyłącz monitor"));
    PowerOnMonitorButton
            = makeButton(monitor, "PowerOnMonitorButton", QStringLiteral("Włącz monitor"));
    monitorRow->addWidget(PowerOffMonitorButton);
    monitorRow->addWidget(PowerOnMonitorButton);
    monitorRow->addStretch(1);
    tab2->addWidget(monitor);

    auto *startMenu = makeGroup(TabSheet2, QStringLiteral(" Start menu "));
    auto *startRow = new QHBoxLayout(startMenu);
    UnLockStartMenuButton
            = makeButton(startMenu, "UnLockStartMenuButton", QStringLiteral("Odblokuj start menu"));
    LockStartMenuButton
            = makeButton(startMenu, "LockStartMenuButton", QStringLiteral("Zablokuj start menu"));
    startRow->addWidget(UnLockStartMenuButton);
    startRow->addWidget(LockStartMenuButton);
    startRow->addStretch(1);
    tab2->addWidget(startMenu);

    tab2->addWidget(buildMessageGroup(TabSheet2));

    auto *other = makeGroup(TabSheet2, QStringLiteral(" Inne "));
    auto *otherRow = new QHBoxLayout(other);
    PowerOffPCOption = makePowerChoice(other, "PowerOffPCOption");
    PowerOffPCButton = makeButton(other, "PowerOffPCButton", QStringLiteral("Zastosuj"));
    otherRow->addWidget(
            makeLabel(other, QStringLiteral("Wykonaj operacje na komputerze:"), PowerOffPCOption));
    otherRow->addWidget(PowerOffPCOption);
    otherRow->addWidget(PowerOffPCButton);
    otherRow->addStretch(1);
    tab2->addWidget(other);

    auto *devices = makeGroup(TabSheet2, QStringLiteral(" Mysz / klawiatura "));
    auto *deviceRow = new QHBoxLayout(devices);
    DisableMouseButton = makeButton(devices, "DisableMouseButton", QStringLiteral("Wyłącz mysz"));
    EnableMouseButton = makeButton(devices, "EnableMouseButton", QStringLiteral("Włącz mysz"));
    BitBtn4 = makeButton(devices, "BitBtn4", QStringLiteral("Wyłącz klawiaturę"));
    BitBtn5 = makeButton(devices, "BitBtn5", QStringLiteral("Włącz klawiaturę"));
    deviceRow->addWidget(DisableMouseButton);
    deviceRow->addWidget(EnableMouseButton);
    deviceRow->addWidget(BitBtn4);
    deviceRow->addWidget(BitBtn5);
    deviceRow->addStretch(1);
    tab2->addWidget(devices);
    tab2->addStretch(1);
}

QWidget *TFMain::buildMessageGroup(QWidget *tab)
{
    auto *messages = makeGroup(tab, QStringLiteral(" Komunikaty "));
    auto *messageGrid = new QGridLayout(messages);
    MessageTypeComboBox = new QComboBox(messages);
    MessageTypeComboBox->setObjectName(QStringLiteral("MessageTypeComboBox"));
    MessageTypeComboBox->setEditable(false);
    MessageTypeComboBox->addItems({QStringLiteral("Zwykła wiadomość ( przycisk OK )"),
                                   QStringLiteral("Pytanie ( przycisk TAK / NIE )"),
                                   QStringLiteral("Komunikat z możliwością wpisania odpowiedzi")});
    MessageTypeComboBox->setAccessibleName(QStringLiteral("Typ komunikatu:"));
    MessageEdit1 = makeField(messages, "MessageEdit1", QStringLiteral("Tekst komunikatu:"), false);
    MessageEdit1->setText(QStringLiteral("Treść"));
    MessageEdit1->setFixedWidth(513);
    MessageAnswerMemo = new QPlainTextEdit(messages);
    MessageAnswerMemo->setObjectName(QStringLiteral("MessageAnswerMemo"));
    MessageAnswerMemo->setReadOnly(true);
    MessageAnswerMemo->setFixedSize(513, 65);
    MessageAnswerMemo->setAccessibleName(QStringLiteral("Odpowiedź:"));
    BitBtn3 = makeButton(messages, "BitBtn3", QStringLiteral("Wyślij komunikat"));
    messageGrid->addWidget(
            makeLabel(messages, QStringLiteral("Typ komunikatu:"), MessageTypeComboBox), 0, 0);
    messageGrid->addWidget(MessageTypeComboBox, 0, 1, Qt::AlignLeft);
    messageGrid->addWidget(makeLabel(messages, QStringLiteral("Tekst komunikatu:"), MessageEdit1),
                           1, 0);
    messageGrid->addWidget(MessageEdit1, 1, 1, Qt::AlignLeft);
    messageGrid->addWidget(makeLabel(messages, QStringLiteral("Odpowiedź:"), MessageAnswerMemo), 2,
                           0, Qt::AlignTop);
    messageGrid->addWidget(MessageAnswerMemo, 2, 1, Qt::AlignLeft);
    messageGrid->addWidget(BitBtn3, 3, 1, Qt::AlignLeft);
    messageGrid->setColumnStretch(2, 1);
    return messages;
}

void TFMain::buildGroupTab()
{
    // Tab "Operacje zbiorcze".
    TabSheet4 = new QWidget;
    TabSheet4->setObjectName(QStringLiteral("TabSheet4"));
    auto *tab4 = new QVBoxLayout(TabSheet4);

    auto *groupMonitor = makeGroup(TabSheet4, QStringLiteral(" Monitor "));
    auto *groupMonitorRow = new QHBoxLayout(groupMonitor);
    GroupPowerOffMonitorButton = makeButton(groupMonitor, "GroupPowerOffMonitorButton",
                                            QStringLiteral("Wyłącz monitor"));
    GroupPowerOnMonitorButton = makeButton(groupMonitor, "GroupPowerOnMonitorButton",
                                           QStringLiteral("Włącz monitor"));
    groupMonitorRow->addWidget(GroupPowerOffMonitorButton);
    groupMonitorRow->addWidget(GroupPowerOnMonitorButton);
    groupMonitorRow->addStretch(1);
    tab4->addWidget(groupMonitor);

    auto *groupDevices = makeGroup(TabSheet4, QStringLiteral(" Mysz / klawiatura "));
    auto *groupDeviceGrid = new QGridLayout(groupDevices);
    GroupUnLockMouseButton
            = makeButton(groupDevices, "GroupUnLockMouseButton", QStringLiteral("Podłącz mysz"));
    GroupLockMouseButton
            = makeButton(groupDevices, "GroupLockMouseButton", QStringLiteral("Odłącz mysz"));
    GroupLockKeyboardButton = makeButton(groupDevices, "GroupLockKeyboardButton",
                                         QStringLiteral("Odłącz klawiaturę"));
    GroupUnLockKeyboardButton = makeButton(groupDevices, "GroupUnLockKeyboardButton",
                                           QStringLiteral("Podłącz klawiaturę"));
    EnableStartMenuAllButton = makeButton(groupDevices, "EnableStartMenuAllButton",
                                          QStringLiteral("Włącz menu start"));
    DisableStartMenuAllButton = makeButton(groupDevices, "DisableStartMenuAllButton",
                                           QStringLiteral("Wyłącz menu start"));
    groupDeviceGrid->addWidget(GroupUnLockMouseButton, 0, 0);
    groupDeviceGrid->addWidget(GroupLockMouseButton, 0, 1);
    groupDeviceGrid->addWidget(GroupLockKeyboardButton, 1, 0);
    groupDeviceGrid->addWidget(GroupUnLockKeyboardButton, 1, 1);
    groupDeviceGrid->addWidget(EnableStartMenuAllButton, 2, 0);
    groupDeviceGrid->addWidget(DisableStartMenuAllButton, 2, 1);
    groupDeviceGrid->setColumnStretch(2, 1);
    tab4->addWidget(groupDevices);

    auto *groupOther = makeGroup(TabSheet4, QStringLiteral(" Inne "));
    auto *groupOtherRow = new QHBoxLayout(groupOther);
    GroupPowerOffPCOption = makePowerChoice(groupOther, "GroupPowerOffPCOption");
    GroupPowerOffPCButton
            = makeButton(groupOther, "GroupPowerOffPCButton", QStringLiteral("Zastosuj"));
    groupOtherRow->addWidget(makeLabel(
            groupOther, QStringLiteral("Wykonaj operacje na komputerze:"), GroupPowerOffPCOption));
    groupOtherRow->addWidget(GroupPowerOffPCOption);
    groupOtherRow->addWidget(GroupPowerOffPCButton);
    groupOtherRow->addStretch(1);
    tab4->addWidget(groupOther);
    tab4->addWidget(buildClassGroup(TabSheet4));
    tab4->addStretch(1);
}

QWidget *TFMain::buildTrafficFields(QWidget *parent)
{
    // Bottom: the three traffic fields.
    Panel4 = new QWidget(parent);
    Panel4->setObjectName(QStringLiteral("Panel4"));
    Panel4->setFixedHeight(82);
    SendStatusEdit = makeField<PacedLine>(Panel4, "SendStatusEdit", QStringLiteral("SEND"), true);
    RcvStatusEdit = makeField<PacedLine>(Panel4, "RcvStatusEdit", QStringLiteral("RCV"), true);
    StatusEdit = makeField<PacedLine>(Panel4, "StatusEdit", QStringLiteral("STATUS"), true);
    // The fields stand right of the widest caption, at 57 px unless the
    // captions need more in the window's font.
    QList<QLabel *> captions;
    int captionWidth = 48;
    for (auto [field, caption] :
         {std::pair{SendStatusEdit, "SEND"}, std::pair{RcvStatusEdit, "RCV"},
          std::pair{StatusEdit, "STATUS"}}) {
        captions << makeLabel(Panel4, QLatin1String(caption), field);
        captionWidth = std::max(captionWidth,
                                textfit::labelWidth(captions.last(), {captions.last()->text()}));
    }
    const int fieldLeft = std::max(57, 8 + captionWidth + 1);
    int y = 4;
    for (QLabel *caption : captions) {
        caption->setGeometry(8, y + 2, captionWidth, 17);
        caption->buddy()->setGeometry(fieldLeft, y, 100, 21);
        y += 25;
    }
    return Panel4;
}
