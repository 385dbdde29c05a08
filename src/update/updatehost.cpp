#include "update/updatehost.h"

#include "storage/settings.h"

namespace update {

QString validatedHost(const QString &candidate)
{
    QString text = candidate.trimmed();
    while (text.endsWith(QLatin1Char('/')))
        text.chop(1);
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || url.hasQuery() || url.hasFragment())
        return {};
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return {};
    return text;
}

QString updateHost()
{
    const QString fromEnvironment = validatedHost(qEnvironmentVariable(HostEnvironmentVariable));
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    const QString fromSettings = validatedHost(QString::fromLatin1(ReadSetting(HostSettingTag)));
    if (!fromSettings.isEmpty())
        return fromSettings;
    return validatedHost(QStringLiteral(DOCENTOR_UPDATE_HOST));
}

QUrl updateUrl(const char *path)
{
    return QUrl(updateHost() + QLatin1String(path));
}

} // namespace update
