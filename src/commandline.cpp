#include "commandline.h"

#include "update/version.h"

namespace {

QString versionText()
{
    return QStringLiteral("docentor %1\n").arg(update::ProgramVersion.text());
}

QString helpText()
{
    return QStringLiteral(
                   "Użycie: docentor [opcje]\n"
                   "\n"
                   "Docentor %1: konsola nauczyciela w pracowni komputerowej. Programy\n"
                   "na komputerach uczniów łączą się z nią na porcie TCP 6500.\n"
                   "\n"
                   "Opcje:\n"
                   "  -h, --help     pokazuje tę pomoc i kończy pracę\n"
                   "  -v, --version  pokazuje wersję programu i kończy pracę\n"
                   "Pozostałe opcje przyjmuje biblioteka Qt (np. -platform xcb).\n"
                   "\n"
                   "Zmienne środowiskowe:\n"
                   "  DOCENTOR_PORT=<port>\n"
                   "      nasłuch na innym porcie niż 6500\n"
                   "  DOCENTOR_UPDATE_HOST=<adres>\n"
                   "      serwer aktualizacji, adres http:// lub https://; ma pierwszeństwo\n"
                   "      przed wierszem <UPDATE HOST> w pliku settings.set i przed adresem\n"
                   "      wbudowanym (%2)\n"
                   "  DOCENTOR_NETBIOS=0\n"
                   "      nazwy komputerów tylko z DNS i pliku hosts, bez pytania samych\n"
                   "      komputerów przez NetBIOS (UDP 137)\n"
                   "  DOCENTOR_NETBIOS_PORT=<port>\n"
                   "      pytanie NetBIOS o nazwę na inny port niż 137 (symulator uczniów)\n"
                   "  DOCENTOR_NONINTERACTIVE=1\n"
                   "      żadne okno komunikatu się nie pokazuje: każdy komunikat trafia na\n"
                   "      standardowe wyjście błędów i od razu dostaje odpowiedź (OK; \"Nie\"\n"
                   "      na pytanie; pole do wpisania i wybór pliku do zapisu są\n"
                   "      anulowane)\n"
                   "  DOCENTOR_ANSWER=yes\n"
                   "      razem z DOCENTOR_NONINTERACTIVE=1: odpowiedź \"Tak\" na pytania\n"
                   "\n"
                   "Pliki:\n"
                   "  $XDG_DATA_HOME/Mervix-Tablor (zwykle ~/.local/share/Mervix-Tablor):\n"
                   "  ustawienia settings.set i dziennik log/ADMIN_<rrrr-mm-dd>.txt\n")
            .arg(update::ProgramVersion.text(), QStringLiteral(DOCENTOR_UPDATE_HOST));
}

// Qt's own options, which QApplication takes off the command line itself:
// those that take a value (after a space or "=") and those that stand alone.
// Qt reads "--platform" as "-platform", so one leading dash is dropped first.
const QStringList QtOptionsWithValue
        = QStringLiteral("-style -stylesheet -platform -platformpluginpath -platformtheme -plugin "
                         "-qwindowgeometry -geometry -qwindowicon -icon -qwindowtitle -title "
                         "-session -display -name -qmljsdebugger -dialogs -fontengine")
                  .split(QLatin1Char(' '));
const QStringList QtFlags
        = QStringLiteral("-widgetcount -reverse -nograb -dograb -sync -testability")
                  .split(QLatin1Char(' '));

// The first argument neither the console nor Qt knows, if any; the value
// that follows one of Qt's options is that option's.
std::optional<QString> unknownArgument(const QStringList &arguments)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")
            || argument == QLatin1String("--version") || argument == QLatin1String("-v"))
            continue;
        const QString option
                = argument.startsWith(QLatin1String("--")) ? argument.mid(1) : argument;
        if (QtFlags.contains(option))
            continue;
        if (QtOptionsWithValue.contains(option.section(QLatin1Char('='), 0, 0))) {
            if (!option.contains(QLatin1Char('=')))
                ++i;
            continue;
        }
        return argument;
    }
    return std::nullopt;
}

} // namespace

std::optional<CommandLineAnswer> commandLineAnswer(const QStringList &arguments)
{
    // A mistyped option must not start the console as if nothing were said
    // (on its usual port, say); it is refused before the help is given.
    if (const std::optional<QString> unknown = unknownArgument(arguments)) {
        return CommandLineAnswer{QStringLiteral("docentor: nieznana opcja „%1”\n\n").arg(*unknown)
                                         + helpText(),
                                 UsageExitCode, true};
    }
    // The first of the two wins, as with most programs; the program's name
    // comes first and is no option.
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h"))
            return CommandLineAnswer{helpText()};
        if (argument == QLatin1String("--version") || argument == QLatin1String("-v"))
            return CommandLineAnswer{versionText()};
    }
    return std::nullopt;
}

std::optional<CommandLineAnswer> commandLineAnswer(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return commandLineAnswer(arguments);
}
