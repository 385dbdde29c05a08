#include "update/tfupdate.h"

#include "shell/datafolder.h"
#include "shell/settings.h"
#include "shell/textfit.h"
#include "shell/tfmain.h"
#include "update/httpget.h"
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

void makeExecutable(const QString &path)
{
    QFile::Permissions permissions = QFile::permissions(path);
    permissions |= QFile::ExeOwner | QFile::ExeUser;
    if (permissions & QFile::ReadGroup)
        permissions |= QFile::ExeGroup;
    if (permissions & QFile::ReadOther)
        permissions |= QFile::ExeOther;
    QFile::setPermissions(path, permissions);
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
        setButton(succeeded ? QStringLiteral("Uruchom") : QStringLiteral("Zamknij"), true);
        emit downloadFinished(succeeded);
    });
}

void TFUpdate::DownloadInstaller(const QUrl &url)
{
    postToWindow([this] { update(); });

    QFile file;
    qint64 announced = 0;
    qint64 written = 0;
    int gaugeMaximum = 0;
    int gaugePosition = 0;
    std::optional<QString> failure;

    update::HttpHandlers handlers;
    handlers.header = [&](const update::HttpHeader &header) {
        if (!header.contentLength) {
            failure = ReadError;
            return false;
        }
        announced = leadingNumber(*header.contentLength);
        gaugeMaximum = int(std::min<qint64>(announced, INT_MAX));
        gaugePosition = 0;
        m_gaugePosition = 0;
        postToWindow([this, gaugeMaximum] {
            ProgressBar->setRange(0, gaugeMaximum);
            ProgressBar->setValue(0);
        });

        const QString folder = GetDataFolder();
        if (folder.isEmpty()) {
            // Not the root of the file system instead.
            failure = WriteError;
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
        // An error page is not to be started as the installer.
        if (header.status != 200) {
            failure = ReadError;
            return false;
        }
        // A new file only: whatever still stands at the path (a folder, a
        // link planted there) is not written through.
        file.setFileName(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            failure = WriteError;
            return false;
        }
        postToWindow([this] { StatusLabel->setText(Downloading); });
        return true;
    };
    handlers.body = [&](const char *data, qint64 size) {
        if (file.write(data, size) != size) {
            failure = WriteError;
            return false;
        }
        written += size;
        // The gauge moves by one read's worth, held at its maximum.
        gaugePosition = gaugeMaximum - gaugePosition <= ReadSize ? gaugeMaximum
                                                                 : gaugePosition + int(ReadSize);
        postGaugePosition(gaugePosition);
        return true;
    };

    const update::HttpEnding ending = update::httpGet(url, m_stop, ReadSize, handlers);

    const bool created = file.isOpen();
    const bool flushed = created && file.flush();
    file.close();
    auto discard = [&] {
        if (created)
            file.remove();
    };

    if (ending == update::HttpEnding::Stopped) {
        discard();
        return;
    }
    if (failure) {
        discard();
        finishDownload(false, *failure);
        return;
    }
    switch (ending) {
    case update::HttpEnding::NoConnection:
        finishDownload(false, ConnectionError);
        return;
    case update::HttpEnding::Stalled:
        discard();
        finishDownload(false, ReadError);
        return;
    default:
        break;
    }
    if (!created) {
        finishDownload(false, ConnectionError);
        return;
    }
    if (!flushed || file.error() != QFile::NoError) {
        discard();
        finishDownload(false, WriteError);
        return;
    }
    // A body that broke off, or one longer than announced, is no installer.
    if (written != announced) {
        discard();
        finishDownload(false, ReadError);
        return;
    }
    makeExecutable(file.fileName());
    finishDownload(true, QString());
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
