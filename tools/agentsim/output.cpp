#include "output.h"

#include <QFile>
#include <QMap>

#include <cstdio>

namespace agentsim::output {

namespace {
bool quietNow = false;
QMap<QByteArray, qint64> tally;
} // namespace

void setQuiet(bool quiet)
{
    quietNow = quiet;
}

void line(const QString &text)
{
    if (quietNow)
        return;
    const QByteArray bytes = text.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

QString quoted(const QString &text)
{
    QString out;
    out.reserve(text.size() + 2);
    out += QLatin1Char('"');
    for (const QChar c : text) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            out += QLatin1Char('\\');
        if (c == QLatin1Char('\n'))
            out += QLatin1String("\\n");
        else if (c == QLatin1Char('\r'))
            out += QLatin1String("\\r");
        else
            out += c;
    }
    out += QLatin1Char('"');
    return out;
}

void count(const char *what)
{
    ++tally[QByteArray(what)];
}

bool writeTally(const QString &path)
{
    QByteArray text;
    for (auto it = tally.cbegin(); it != tally.cend(); ++it)
        text += it.key() + '=' + QByteArray::number(it.value()) + '\n';
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

} // namespace agentsim::output
