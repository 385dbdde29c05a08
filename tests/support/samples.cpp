#include "support/samples.h"

#include "link/processlist.h"
#include "platform/cp1250.h"
#include "platform/tcpserver.h"

#include <QBuffer>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QPainter>
#include <QRandomGenerator>
#include <QTest>

ClassroomNames::ClassroomNames(const QHash<QByteArray, QByteArray> &names)
    : m_table(std::make_shared<Table>())
{
    m_table->names = names;
    std::weak_ptr<Table> weak = m_table;
    platform::TcpServer::setHostNameResolver([weak](const QByteArray &address) {
        const std::shared_ptr<Table> table = weak.lock();
        if (!table)
            return QByteArray();
        std::lock_guard lock(table->mutex);
        return table->names.value(address);
    });
}

ClassroomNames::~ClassroomNames()
{
    platform::TcpServer::setHostNameResolver({});
}

void ClassroomNames::set(const QByteArray &address, const QByteArray &name)
{
    std::lock_guard lock(m_table->mutex);
    m_table->names.insert(address, name);
}

QByteArray takePacketText(TestAgent &agent, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        const QByteArray text = agent.received();
        if (text.count('|') >= 9) {
            agent.clearReceived();
            return text;
        }
        if (deadline.hasExpired())
            return {};
        agent.waitForBytes(text.size() + 1, int(std::max<qint64>(1, deadline.remainingTime())));
    }
}

QList<QByteArray> wireFields(const QByteArray &packetText)
{
    QList<QByteArray> fields = packetText.split('|');
    if (!fields.isEmpty() && fields.last().isEmpty())
        fields.removeLast(); // after the closing separator
    return fields;
}

QList<QByteArray> logInfos(const TempDataHome &data)
{
    // Every day file, in date order, so that a test running over midnight
    // still sees all its entries.
    const QDir folder(data.dataFolder() + QStringLiteral("/log"));
    QList<QByteArray> infos;
    for (const QString &name :
         folder.entryList({QStringLiteral("ADMIN_*.txt")}, QDir::Files, QDir::Name)) {
        QFile file(folder.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (line.startsWith("Info: "))
                infos.append(line.mid(6).chopped(line.endsWith('\r') ? 1 : 0));
        }
    }
    return infos;
}

QList<QByteArray> logInfos(const TempDataHome &data, const QByteArray &prefix)
{
    QList<QByteArray> matching;
    for (const QByteArray &info : logInfos(data)) {
        if (info.startsWith(prefix))
            matching.append(info);
    }
    return matching;
}

QImage quarteredPicture(int width, int height)
{
    QImage picture(width, height, QImage::Format_RGB32);
    QPainter painter(&picture);
    const int w = width / 2;
    const int h = height / 2;
    painter.fillRect(0, 0, w, h, Qt::red);
    painter.fillRect(w, 0, width - w, h, Qt::green);
    painter.fillRect(0, h, w, height - h, Qt::blue);
    painter.fillRect(w, h, width - w, height - h, Qt::white);
    return picture;
}

QByteArray jpegBytes(const QImage &picture)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!picture.save(&buffer, "JPEG", 90))
        qFatal("Qt's JPEG writer is missing");
    return bytes;
}

QByteArray noise(int size)
{
    QByteArray bytes(size, '\0');
    for (char &byte : bytes)
        byte = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

QByteArray threeProcesses()
{
    return processlist::build({
            {QByteArray("explorer.exe\0resztki po poprzedniej nazwie", 43), "Eksplorator", 4},
            {cp1250::fromUnicode(u"Zażółć.exe"), cp1250::fromUnicode(u"Gęślą jaźń"), 2147483649u},
            {"svchost.exe", QByteArray(), 4294967295u},
    });
}
