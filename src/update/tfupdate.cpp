#include "update/tfupdate.h"

#include "shell/textfit.h"
#include "storage/settings.h"
#include "update/updatehost.h"
#include "update/version.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QPalette>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>

namespace {

const QString ConnectionError = QStringLiteral("Błąd połączenia...");
const QString ReadError = QStringLiteral("Błąd podczas próby czytania pliku...");
const QString WriteError = QStringLiteral("Błąd zapisu do pliku");
const QString Downloading = QStringLiteral("Pobieranie nowej wersji programu");

using Outcome = update::InstallerDownload::Outcome;

QString failureText(Outcome outcome)
{
    switch (outcome) {
    case Outcome::ConnectionFailed:
        return ConnectionError;
    case Outcome::WriteFailed:
        return WriteError;
    case Outcome::ReadFailed:
    case Outcome::Succeeded:
        break;
    }
    return ReadError;
}

template<class Label = QLabel>
Label *makeLabel(QWidget *parent, const char *name, const QString &text, int left, int top,
                 int width)
{
    auto *label = new Label(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(left, top, width, 16);
    return label;
}

// The longest version text in the labels' font: three signed 32-bit
// numbers, each a sign and at most ten digits.
QString widestVersionText(const QFontMetrics &metrics)
{
    QChar widest = u'0';
    for (char16_t digit = u'1'; digit <= u'9'; ++digit) {
        if (metrics.horizontalAdvance(QChar(digit)) > metrics.horizontalAdvance(widest))
            widest = QChar(digit);
    }
    const QString number = QLatin1Char('-') + QString(10, widest);
    return number + u'.' + number + u'.' + number;
}

// The widths above were drawn for an 8-point font and cut the captions off
// in a larger one. Every control keeps its place; a label gets the width its
// texts need, what stands right of it moves only as far as that needs, and
// the window grows to hold what moved.
void fitToTexts(TFUpdate &w)
{
    auto widen = [](QLabel *label, const QStringList &texts) {
        label->resize(std::max(label->width(), textfit::labelWidth(label, texts)), label->height());
        return label->x() + label->width();
    };
    // The two versions stay in one column.
    const int versionsLeft = std::max({w.VersionLabel->x(), widen(w.Label1, {w.Label1->text()}) + 2,
                                       widen(w.Label2, {w.Label2->text()}) + 2});
    const QString widestVersion = widestVersionText(w.VersionLabel->fontMetrics());
    for (QLabel *version : {w.VersionLabel, w.NewVersionLabel}) {
        version->move(versionsLeft, version->y());
        widen(version, {widestVersion});
    }
    w.ProgressBar->move(std::max(w.ProgressBar->x(), widen(w.Label3, {w.Label3->text()}) + 1),
                        w.ProgressBar->y());
    const int statusRight = widen(w.StatusLabel, {QStringLiteral("Status"), Downloading,
                                                  ConnectionError, ReadError, WriteError});
    w.CloseButton->setGeometry(
            std::max(w.CloseButton->x(), statusRight + 8), w.CloseButton->y(),
            std::max(w.CloseButton->width(),
                     textfit::buttonWidth(w.CloseButton,
                                          {QStringLiteral("Zamknij"), QStringLiteral("Uruchom")})),
            w.CloseButton->height());

    const int width = std::max({402, w.VersionLabel->geometry().right() + 1 + 9,
                                w.ProgressBar->geometry().right() + 1 + 9,
                                w.CloseButton->geometry().right() + 1 + 7});
    w.setFixedSize(width, 118);
}

} // namespace

TFUpdate::TFUpdate()
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                               | Qt::MSWindowsFixedSizeDialogHint)
    , m_download(new update::InstallerDownload(this))
{
    setObjectName(QStringLiteral("FUpdate"));
    setWindowTitle(QStringLiteral("Aktualizacja"));

    Label1 = makeLabel(this, "Label1", QStringLiteral("Aktualna wersja:"), 24, 10, 80);
    VersionLabel = makeLabel<ValueLabel>(this, "VersionLabel", QString(), 106, 10, 200);
    VersionLabel->setAccessibleName(Label1->text());
    Label2 = makeLabel(this, "Label2", QStringLiteral("Nowa wersja:"), 37, 28, 67);
    NewVersionLabel = makeLabel<ValueLabel>(this, "NewVersionLabel", QString(), 106, 28, 200);
    NewVersionLabel->setAccessibleName(Label2->text());
    Label3 = makeLabel(this, "Label3", QStringLiteral("Postęp pobierania:"), 16, 58, 90);

    ProgressBar = new QProgressBar(this);
    ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
    ProgressBar->setGeometry(107, 56, 286, 20);
    ProgressBar->setOrientation(Qt::Horizontal);
    ProgressBar->setRange(0, 100);
    ProgressBar->setValue(0);
    ProgressBar->setTextVisible(true);
    ProgressBar->setFormat(QStringLiteral("%p%"));
    ProgressBar->setAlignment(Qt::AlignCenter);
    ProgressBar->setAccessibleName(Label3->text());
    QPalette gauge = ProgressBar->palette();
    gauge.setColor(QPalette::Base, Qt::white);
    gauge.setColor(QPalette::Window, Qt::white);
    gauge.setColor(QPalette::Highlight, Qt::black);
    gauge.setColor(QPalette::Text, Qt::black);
    gauge.setColor(QPalette::HighlightedText, Qt::white);
    ProgressBar->setPalette(gauge);

    StatusLabel = makeLabel<ValueLabel>(this, "StatusLabel", QStringLiteral("Status"), 17, 90, 295);
    StatusLabel->setAccessibleName(QStringLiteral("Status"));

    CloseButton = new QPushButton(this);
    CloseButton->setObjectName(QStringLiteral("CloseButton"));
    CloseButton->setGeometry(320, 88, 75, 25);
    setButton(QStringLiteral("Zamknij"), false);
    connect(CloseButton, &QPushButton::clicked, this, [this] { CloseButtonClick(); });
    fitToTexts(*this);

    startInstaller = [](const QString &program) {
        QProcess::startDetached(program, {}, QFileInfo(program).absolutePath());
    };

    connect(m_download, &update::InstallerDownload::lengthAnnounced, this, [this](int maximum) {
        ProgressBar->setRange(0, maximum);
        ProgressBar->setValue(0);
    });
    connect(m_download, &update::InstallerDownload::writing, this,
            [this] { StatusLabel->setText(Downloading); });
    connect(m_download, &update::InstallerDownload::progressed, ProgressBar,
            &QProgressBar::setValue);
    connect(m_download, &update::InstallerDownload::finished, this, &TFUpdate::showEnd);
}

TFUpdate::~TFUpdate()
{
    // The download ends before the controls it reports to go.
    m_download->stop();
}

bool TFUpdate::downloadSucceeded() const
{
    return m_download->succeeded();
}

QString TFUpdate::installerPath() const
{
    return m_download->installerPath();
}

void TFUpdate::setButton(const QString &caption, bool enabled)
{
    CloseButton->setText(caption);
    CloseButton->setAccessibleName(caption);
    CloseButton->setEnabled(enabled);
}

void TFUpdate::FormShow()
{
    setButton(QStringLiteral("Zamknij"), false);
    StatusLabel->setText(QStringLiteral("Status"));
    ProgressBar->setRange(0, 100);
    ProgressBar->setValue(0);
    // The settings file is read here, on the user-interface thread.
    m_download->start(update::updateUrl(update::InstallerFilePath));
    update();
}

void TFUpdate::CloseButtonClick()
{
    if (downloadSucceeded()) {
        WriteSetting(settings::FirstRunTag, "TRUE");
        if (startInstaller)
            startInstaller(installerPath());
        done(QDialog::Accepted);
        emit installerStarted();
    } else {
        done(QDialog::Rejected);
    }
}

void TFUpdate::showEnd(update::InstallerDownload::Outcome outcome)
{
    const bool succeeded = outcome == Outcome::Succeeded;
    if (!succeeded)
        StatusLabel->setText(failureText(outcome));
    // An empty range (nothing announced) is drawn as a busy bar for ever;
    // once the download has ended, the gauge shows that end.
    if (ProgressBar->maximum() <= ProgressBar->minimum()) {
        ProgressBar->setRange(0, 1);
        ProgressBar->setValue(succeeded ? 1 : 0);
    }
    setButton(succeeded ? QStringLiteral("Uruchom") : QStringLiteral("Zamknij"), true);
    emit downloadFinished(succeeded);
}

void TFUpdate::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TFUpdate::closeEvent(QCloseEvent *event)
{
    // No way out through the frame: the button is the one exit.
    event->ignore();
}

void TFUpdate::keyPressEvent(QKeyEvent *event)
{
    // Escape would close the window past the button.
    if (event->key() == Qt::Key_Escape) {
        event->ignore();
        return;
    }
    QDialog::keyPressEvent(event);
}
