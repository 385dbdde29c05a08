#include "update/tfupdate.h"

#include "shell/textfit.h"
#include "shell/tfmain.h"
#include "storage/datafolder.h"
#include "storage/settings.h"
#include "update/updatehost.h"
#include "update/version.h"

#include <QCloseEvent>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QPalette>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>
#include <climits>
#include <optional>

TFUpdate *FUpdate = nullptr;

namespace {

const QString ConnectionError = QStringLiteral("Błąd połączenia...");
const QString ReadError = QStringLiteral("Błąd podczas próby czytania pliku...");
const QString WriteError = QStringLiteral("Błąd zapisu do pliku");
const QString Downloading = QStringLiteral("Pobieranie nowej wersji programu");
constexpr const char *InstallerFileName = "admin_update.exe";

std::atomic<qint64> maxInstallerSize{TFUpdate::MaxInstallerSize};
std::atomic<qint64> downloadDeadlineMs{
        std::chrono::duration_cast<std::chrono::milliseconds>(TFUpdate::DownloadDeadline).count()};

// The decimal number at the start of a Content-Length text; 0 when it does
// not start with a digit. Held at the largest qint64 rather than wrapping.
qint64 leadingNumber(const QByteArray &text)
{
    qint64 value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            break;
        const int digit = c - '0';
        if (value > (LLONG_MAX - digit) / 10)
            return LLONG_MAX;
        value = value * 10 + digit;
    }
    return value;
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

TFUpdate::TFUpdate(TFMain *mainWindow)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                               | Qt::MSWindowsFixedSizeDialogHint)
    , m_main(mainWindow)
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
}

TFUpdate::~TFUpdate()
{
    m_stop = true;
    if (m_worker.joinable())
        m_worker.join();
}

QString TFUpdate::installerPath() const
{
    std::lock_guard lock(m_pathMutex);
    return m_installerPath;
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
    DownloadSucceeded = false;

    // The previous download has posted its end before the window could be
    // closed, so its thread is at its end.
    if (m_worker.joinable())
        m_worker.join();
    m_stop = false;
    // The settings file is read here, on the user-interface thread.
    const QUrl url = update::updateUrl(update::InstallerFilePath);
    m_worker = std::thread(&TFUpdate::DownloadInstaller, this, url);
}

void TFUpdate::CloseButtonClick()
{
    if (DownloadSucceeded) {
        WriteSetting(settings::FirstRunTag, "TRUE");
        if (m_main)
            m_main->closeWithoutAsking = true;
        if (startInstaller)
            startInstaller(installerPath());
        done(QDialog::Accepted);
        // The console makes way for the installer without its question.
        if (m_main)
            m_main->close();
    } else {
        if (m_main)
            m_main->closeWithoutAsking = false;
        done(QDialog::Rejected);
    }
}

void TFUpdate::postToWindow(std::function<void()> effect)
{
    QMetaObject::invokeMethod(this, std::move(effect), Qt::QueuedConnection);
}

void TFUpdate::postGaugePosition(int position)
{
    m_gaugePosition = position;
    if (m_gaugeUpdatePending.exchange(true))
        return; // the pending update will show the newest position
    postToWindow([this] {
        m_gaugeUpdatePending = false;
        ProgressBar->setValue(m_gaugePosition.load());
    });
}

void TFUpdate::finishDownload(bool succeeded, const QString &status)
{
    // The outcome is in place before the button can be clicked.
    DownloadSucceeded = succeeded;
    postToWindow([this, succeeded, status] {
        if (!succeeded)
            StatusLabel->setText(status);
        // An empty range (nothing announced) is drawn as a busy bar for
        // ever; once the download has ended, the gauge shows that end.
        if (ProgressBar->maximum() <= ProgressBar->minimum()) {
            ProgressBar->setRange(0, 1);
            ProgressBar->setValue(succeeded ? 1 : 0);
        }
        setButton(succeeded ? QStringLiteral("Uruchom") : QStringLiteral("Zamknij"), true);
        emit downloadFinished(succeeded);
    });
}

void TFUpdate::setDownloadLimits(qint64 maxSize, std::chrono::milliseconds deadline)
{
    maxInstallerSize = maxSize;
    downloadDeadlineMs = std::max<qint64>(1, deadline.count());
}

// What one download has got so far; it lives on the worker.
struct TFUpdate::Download
{
    QFile file;
    bool created = false;
    qint64 announced = 0;
    qint64 written = 0;
    int gaugeMaximum = 0;
    int gaugePosition = 0;
    std::optional<QString> failure;

    void discard()
    {
        file.close();
        if (created)
            file.remove();
    }
};

void TFUpdate::DownloadInstaller(const QUrl &url)
{
    Download download;
    try {
        postToWindow([this] { update(); });
        runDownload(url, download);
        return;
    } catch (...) {
        // Whatever fails inside the download, running out of memory
        // included, ends it like a broken read; the console goes on.
    }
    download.discard();
    try {
        finishDownload(false, ReadError);
    } catch (...) {
    }
}

void TFUpdate::runDownload(const QUrl &url, Download &download)
{
    update::HttpHandlers handlers;
    handlers.header = [this, &download](const update::HttpHeader &header) {
        return acceptHeader(download, header);
    };
    handlers.body = [this, &download](const char *data, qint64 size) {
        return acceptBody(download, data, size);
    };
    const update::HttpEnding ending = update::httpGet(
            url, m_stop, ReadSize, handlers, std::chrono::milliseconds(downloadDeadlineMs.load()));
    if (ending == update::HttpEnding::Stopped) {
        download.discard();
        return;
    }
    const std::optional<QString> failure = downloadFailure(download, ending);
    if (failure)
        download.discard();
    else
        download.file.close();
    finishDownload(!failure, failure.value_or(QString()));
}

bool TFUpdate::acceptHeader(Download &download, const update::HttpHeader &header)
{
    if (!header.contentLength) {
        download.failure = ReadError;
        return false;
    }
    download.announced = leadingNumber(*header.contentLength);
    download.gaugeMaximum = int(std::min<qint64>(download.announced, INT_MAX));
    download.gaugePosition = 0;
    m_gaugePosition = 0;
    postToWindow([this, maximum = download.gaugeMaximum] {
        ProgressBar->setRange(0, maximum);
        ProgressBar->setValue(0);
    });

    const QString folder = GetDataFolder();
    if (folder.isEmpty()) {
        // Not the root of the file system instead.
        download.failure = WriteError;
        return false;
    }
    const QString path = folder + QLatin1Char('/') + QLatin1String(InstallerFileName);
    {
        std::lock_guard lock(m_pathMutex);
        m_installerPath = path;
    }
    // An earlier download goes, also when this one then fails.
    const QFileInfo earlier(path);
    if (earlier.exists() || earlier.isSymLink())
        QFile::remove(path);
    // An error page is not to be started as the installer; an installer
    // larger than any real one is not taken in at all.
    if (header.status != 200 || download.announced > maxInstallerSize.load()) {
        download.failure = ReadError;
        return false;
    }
    // A new file only, the teacher's alone: whatever still stands at the
    // path (a folder, a link planted there) is not written through.
    download.file.setFileName(path);
    if (!download.file.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                            QFile::ReadOwner | QFile::WriteOwner)) {
        download.failure = WriteError;
        return false;
    }
    download.created = true;
    postToWindow([this] { StatusLabel->setText(Downloading); });
    return true;
}

bool TFUpdate::acceptBody(Download &download, const char *data, qint64 size)
{
    // Nothing beyond the announced length is taken: a body that keeps on
    // growing (a chunked answer is not held to its length) is cut off.
    if (size > download.announced - download.written) {
        download.failure = ReadError;
        return false;
    }
    if (download.file.write(data, size) != size) {
        download.failure = WriteError;
        return false;
    }
    download.written += size;
    // The gauge moves by one read's worth, held at its maximum.
    const int maximum = download.gaugeMaximum;
    int &position = download.gaugePosition;
    position = maximum - position <= ReadSize ? maximum : position + int(ReadSize);
    postGaugePosition(position);
    return true;
}

std::optional<QString> TFUpdate::downloadFailure(Download &download, update::HttpEnding ending)
{
    if (download.failure)
        return download.failure;
    switch (ending) {
    case update::HttpEnding::NoConnection:
        return ConnectionError;
    case update::HttpEnding::Stalled:
    case update::HttpEnding::OutOfTime:
        return ReadError;
    default:
        break;
    }
    if (!download.created)
        return ConnectionError;
    if (!download.file.flush() || download.file.error() != QFile::NoError)
        return WriteError;
    // A body that broke off is no installer.
    if (download.written != download.announced)
        return ReadError;
    // Startable by the teacher alone; set on the open file, so nothing
    // planted at the path meanwhile is changed instead.
    if (!download.file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        return WriteError;
    return std::nullopt;
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
