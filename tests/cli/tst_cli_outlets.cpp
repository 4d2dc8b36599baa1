// Naming outlets and reading the panel's settings: outlet numbers and names,
// labels, the saved port, and the firmware tool's words, split without a shell.
#include "command_words.h"
#include "firmware_tool.h"
#include "outlets.h"
#include "panel_settings.h"

#include <QtTest>

using namespace Cli;
using namespace Driver;

namespace {

// Outlet 3 is the router; two outlets share "lamp"; outlet 7 is named "12".
OutletNames names()
{
    OutletNames n;
    n[2] = "router";
    n[4] = "lamp";
    n[5] = "lamp";
    n[6] = "12";
    n[10] = "lab bench";
    return n;
}

}  // namespace

class TestCliOutlets : public QObject {
    Q_OBJECT
private slots:
    void resolve_data();
    void resolve();
    void labels();
    void savedPort_data();
    void savedPort();
    void settingsFile();
    void toolArguments_data();
    void toolArguments();
};

void TestCliOutlets::resolve_data()
{
    QTest::addColumn<QStringList>("given");
    QTest::addColumn<QString>("expected");  // outlets joined by ',' or "error: " + message

    QTest::newRow("numbers") << QStringList{"1", "12", "10"} << "1,12,10";
    QTest::newRow("leading zero") << QStringList{"03"} << "3";
    QTest::newRow("names") << QStringList{"router", "lab bench"} << "3,11";
    QTest::newRow("twice counts once") << QStringList{"3", "router", "1", "3"} << "3,1";
    QTest::newRow("a number is never a name") << QStringList{"12"} << "12";
    QTest::newRow("none") << QStringList{} << "";
    QTest::newRow("0") << QStringList{"0"} << "error: there is no outlet 0: the outlets are 1 to 12";
    QTest::newRow("13") << QStringList{"3", "13"} << "error: there is no outlet 13: the outlets are 1 to 12";
    QTest::newRow("huge") << QStringList{"99999999999999999999"}
                          << "error: there is no outlet 99999999999999999999: the outlets are 1 to 12";
    QTest::newRow("negative") << QStringList{"-3"}
                              << "error: '-3' is neither an outlet number (1 to 12) nor an outlet name "
                                 "(names: 'router', 'lamp', 'lamp', '12', 'lab bench')";
    QTest::newRow("names are exact") << QStringList{"Router"}
                                     << "error: 'Router' is neither an outlet number (1 to 12) nor an outlet name "
                                        "(names: 'router', 'lamp', 'lamp', '12', 'lab bench')";
    QTest::newRow("empty") << QStringList{""}
                           << "error: '' is neither an outlet number (1 to 12) nor an outlet name (names: 'router', "
                              "'lamp', 'lamp', '12', 'lab bench')";
    QTest::newRow("shared name") << QStringList{"lamp"}
                                 << "error: the name 'lamp' belongs to outlets 5, 6: give the number";
}

void TestCliOutlets::resolve()
{
    QFETCH(QStringList, given);
    QFETCH(QString, expected);

    const auto result = parseOutlets(given, names());
    if (const auto* error = std::get_if<QString>(&result)) {
        QCOMPARE("error: " + *error, expected);
        return;
    }
    QStringList outlets;
    for (int outlet : std::get<QList<int>>(result))
        outlets << QString::number(outlet);
    QCOMPARE(outlets.join(','), expected);
}

void TestCliOutlets::labels()
{
    QCOMPARE(outletLabel(3, names()), QString("outlet 3 (router)"));
    QCOMPARE(outletLabel(4, names()), QString("outlet 4"));
    QCOMPARE(outletLabel(11, names()), QString("outlet 11 (lab bench)"));
    const auto unnamed = parseOutlets({"x"}, OutletNames{});
    QCOMPARE(std::get<QString>(unnamed),
             QString("'x' is neither an outlet number (1 to 12) nor an outlet name (no outlet has a name)"));
}

void TestCliOutlets::savedPort_data()
{
    QTest::addColumn<QString>("saved");
    QTest::addColumn<QString>("port");  // empty: the saved value cannot be read

    QTest::newRow("2") << "2"
                       << "COM2";
    QTest::newRow("4") << "4"
                       << "COM4";
    QTest::newRow("spaces") << "  3 "
                            << "COM3";
    QTest::newRow("plus sign") << "+2"
                               << "COM2";
    QTest::newRow("nothing saved") << ""
                                   << "COM1";
    QTest::newRow("0") << "0"
                       << "COM1";
    QTest::newRow("5: not in the list") << "5"
                                        << "";
    QTest::newRow("negative") << "-2"
                              << "COM1";
    QTest::newRow("a name") << "COM2"
                            << "";
    QTest::newRow("tab") << "\t2"
                         << "";
}

void TestCliOutlets::savedPort()
{
    QFETCH(QString, saved);
    QFETCH(QString, port);
    QCOMPARE(PanelSettings::portFromSaved(saved).value_or(QString()), port);
}

void TestCliOutlets::settingsFile()
{
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QVERIFY(QDir().mkpath(config.path() + "/Tavrin"));
    QFile file(config.path() + "/Tavrin/TavrinV1.3prj.conf");
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[Com]\nPORT=3\n\n[Outlets]\n1=  router  \n4=lab, bench\n12=\"quoted, name\"\n13=no such outlet\n");
    file.close();

    QCoreApplication::setOrganizationName(PanelSettings::Organisation);
    QCoreApplication::setApplicationName(PanelSettings::Application);
    QCOMPARE(std::get<QString>(PanelSettings::savedPort()), QString("COM3"));
    const OutletNames read = PanelSettings::outletNames();
    QStringList all;
    for (const QString& name : read)
        all << name;
    QCOMPARE(all, (QStringList{"router", "", "", "lab, bench", "", "", "", "", "", "", "", "quoted, name"}));
    qunsetenv("XDG_CONFIG_HOME");
}

void TestCliOutlets::toolArguments_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("device");
    QTest::addColumn<QStringList>("argv");
    QTest::addColumn<QString>("error");  // why the command is refused, if it is

    const auto row = [](const char* name, const QString& command, const QString& device, const QStringList& argv,
                        const QString& error = {}) { QTest::newRow(name) << command << device << argv << error; };
    row("plain path", "avrdude -c stk500v1 -P {device} -U flash:w:fw.hex", "/dev/ttyUSB0",
        {"avrdude", "-c", "stk500v1", "-P", "/dev/ttyUSB0", "-U", "flash:w:fw.hex"});
    row("twice, inside a word", "tool {device} --port={device}", "/dev/pts/3",
        {"tool", "/dev/pts/3", "--port=/dev/pts/3"});
    row("no placeholder", "flash.sh", "/dev/ttyS0", {"flash.sh"});
    row("blanks", " \ttool  -a\tb ", "/dev/ttyS0", {"tool", "-a", "b"});
    row("a path with a space", "tool -P {device}", "/tmp/my board", {"tool", "-P", "/tmp/my board"});
    row("a path with shell characters", "tool {device}", "/tmp/it's $(reboot);`x` \"q\"",
        {"tool", "/tmp/it's $(reboot);`x` \"q\""});
    row("single quotes keep everything", R"(tool 'a  b' '$HOME \ "|')", "", {"tool", "a  b", R"($HOME \ "|)"});
    row("double quotes and their escapes", R"(tool "a \"b\" \\ \$x \` \n |")", "", {"tool", R"(a "b" \ $x ` \n |)"});
    row("backslashes outside quotes", R"(tool a\ b \' \| end\)", "", {"tool", "a b", "'", "|", R"(end\)"});
    row("quotes join a word", R"(tool --fw="my fw".hex '' x)", "", {"tool", "--fw=my fw.hex", "", "x"});
    row("a backslash-newline joins lines", "tool a\\\nb \\\n c", "", {"tool", "ab", "c"});
    row("nothing is expanded", "tool $HOME ~ *.hex", "", {"tool", "$HOME", "~", "*.hex"});
    row("unclosed single quote", "tool 'a", "", {}, "--exec: the quote ' at character 6 is not closed");
    row("unclosed double quote", R"(tool "a\")", "", {}, R"(--exec: the quote " at character 6 is not closed)");
    const QString refused = "--exec runs no shell, so an unquoted %1 is refused: put it in quotes to pass it literally";
    row("pipe", "tool a|b", "", {}, refused.arg("'|'"));
    row("command substitution", "tool $(reboot)", "", {}, refused.arg("'('"));
    row("backquotes", "tool `reboot`", "", {}, refused.arg("'`'"));
    row("sequence", "tool; reboot", "", {}, refused.arg("';'"));
    row("redirection", "tool <fw.hex", "", {}, refused.arg("'<'"));
    row("background", "tool &", "", {}, refused.arg("'&'"));
    row("line break", "tool\nreboot", "", {}, refused.arg("line break"));
}

void TestCliOutlets::toolArguments()
{
    QFETCH(QString, command);
    QFETCH(QString, device);
    QFETCH(QStringList, argv);
    QFETCH(QString, error);

    const auto words = splitCommandWords(command);
    if (const auto* refused = std::get_if<QString>(&words)) {
        QCOMPARE(*refused, error);
        return;
    }
    QCOMPARE(QString(), error);
    QCOMPARE(FirmwareTool::arguments(std::get<QStringList>(words), device), argv);
}

QTEST_GUILESS_MAIN(TestCliOutlets)
#include "tst_cli_outlets.moc"
