// The PDUDaemon and labgrid lines of README.md, taken from it and run as
// those tools run them, against orvessa-sim.
#include "arguments.h"
#include "command_words.h"
#include "orvessa_run.h"
#include "readme_lines.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>

namespace {

// The keys of the README's ExternalPowerDriver, e.g. "cmd_on" -> "orvessa on 3".
QMap<QString, QString> labgridDriver()
{
    QMap<QString, QString> keys;
    for (const QString& block : codeBlocks("yaml")) {
        if (!block.contains("ExternalPowerDriver:"))
            continue;
        const QRegularExpression key("^\\s+(cmd_\\w+):\\s*(.+)$", QRegularExpression::MultilineOption);
        for (auto it = key.globalMatch(block); it.hasNext();) {
            const auto match = it.next();
            keys.insert(match.captured(1), match.captured(2).trimmed());
        }
    }
    return keys;
}

// orvessa as a lab machine finds it: on the PATH, the README's adapter a
// link to the simulator, no settings of the panel's.
struct LabMachine {
    SimProcess sim;
    Orvessa orvessa;
    QTemporaryDir links;
    QString adapter = links.filePath("usb-FTDI_FT232R_USB_UART_A10K3-if00-port0");
    qsizetype seen = 0;

    explicit LabMachine(const QStringList& simOptions) : sim(simOptions)
    {
        const QString path = QFileInfo(QStringLiteral(ORVESSA_PATH)).absolutePath();
        orvessa.setEnv("PATH", path + ":" + qEnvironmentVariable("PATH"));
        QFile::link(sim.device(), adapter);
    }

    // PDUDaemon: `command % port_number`, then subprocess.call(cmd, shell=True).
    int runShell(QString command, int port)
    {
        command.replace("%s", QString::number(port)).replace(kReadmeAdapter, adapter);
        return runProgram({"/bin/sh", "-c", command});
    }

    // labgrid: shlex.split(command), then subprocess.check_call(argv).
    int runSplit(QString command)
    {
        QStringList argv = QProcess::splitCommand(command.replace(kReadmeAdapter, adapter));
        if (argv.isEmpty())
            return -1;
        const QStringList path = orvessa.environment().value("PATH").split(':');
        argv.first() = QStandardPaths::findExecutable(argv.first(), path);
        return runProgram(argv);
    }

    int runProgram(QStringList argv)
    {
        QProcess process;
        process.setProcessEnvironment(orvessa.environment());
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(argv.takeFirst(), argv);
        if (!process.waitForFinished(30000))
            return -1;
        process.readAllStandardOutput();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    QStringList received() { return receivedSince(sim, seen); }
};

}  // namespace

class TestCliLabTools : public QObject {
    Q_OBJECT
private slots:
    void readmeHasTheLines();
    void pduDaemonLocalCmdline();
    void labgridExternalPowerDriver();
};

void TestCliLabTools::readmeHasTheLines()
{
    const QJsonObject pdu = pduDaemonEntry();
    QCOMPARE(pdu.value("cmd_on").toString(), "orvessa --port " + kReadmeAdapter + " on %s");
    QCOMPARE(pdu.value("cmd_off").toString(), "orvessa --port " + kReadmeAdapter + " off %s");
    const QMap<QString, QString> driver = labgridDriver();
    QCOMPARE(driver.keys(), (QStringList{"cmd_cycle", "cmd_off", "cmd_on"}));

    // The --exec example: accepted without a shell, the device one word.
    const QRegularExpression upgrade("^orvessa upgrade --exec .*$", QRegularExpression::MultilineOption);
    const QString line = upgrade.match(codeBlocks("sh").join('\n')).captured();
    const auto shellWords = Cli::splitCommandWords(line);  // as the user's shell splits it
    QVERIFY(std::holds_alternative<QStringList>(shellWords));
    const auto parsed = Cli::parseArguments(std::get<QStringList>(shellWords));
    QVERIFY2(std::holds_alternative<Cli::Invocation>(parsed), qPrintable(line));
    const QStringList words = *std::get<Cli::Invocation>(parsed).exec;
    QVERIFY2(words.first() == "avrdude" && words.contains("{device}"), qPrintable(words.join('|')));
}

void TestCliLabTools::pduDaemonLocalCmdline()
{
    const QJsonObject pdu = pduDaemonEntry();
    LabMachine lab({"--word", "0x001"});
    const QString on = pdu.value("cmd_on").toString();
    const QString off = pdu.value("cmd_off").toString();

    QCOMPARE(lab.runShell(on, 3), 0);
    QCOMPARE(lab.received(), (QStringList{"s00t", "s02p", "s00t"}));
    // PDUDaemon may ask again: nothing is switched twice.
    QCOMPARE(lab.runShell(on, 3), 0);
    QCOMPARE(lab.received(), (QStringList{"s00t"}));
    QCOMPARE(lab.runShell(off, 3), 0);
    QCOMPARE(lab.received(), (QStringList{"s00t", "s02p", "s00t"}));
    QCOMPARE(lab.runShell(off, 12), 0);
    QCOMPARE(lab.received(), (QStringList{"s00t"}));
    QCOMPARE(lab.runShell(on, 12), 0);
    QCOMPARE(lab.received(), (QStringList{"s00t", "s0;p", "s00t"}));
}

void TestCliLabTools::labgridExternalPowerDriver()
{
    const QMap<QString, QString> driver = labgridDriver();
    {
        LabMachine lab({});
        QCOMPARE(lab.runSplit(driver.value("cmd_on")), 0);
        QCOMPARE(lab.received(), (QStringList{"s00t", "s02p", "s00t"}));
        QCOMPARE(lab.runSplit(driver.value("cmd_cycle")), 0);
        QCOMPARE(lab.received(), (QStringList{"s00t", "s02p", "s00t", "s00t", "s02p", "s00t"}));
        QCOMPARE(lab.runSplit(driver.value("cmd_off")), 0);
        QCOMPARE(lab.received(), (QStringList{"s00t", "s02p", "s00t"}));
        // A cycle of an outlet that is off leaves it on.
        QCOMPARE(lab.runSplit(driver.value("cmd_cycle")), 0);
        QCOMPARE(lab.received(), (QStringList{"s00t", "s00t", "s02p", "s00t"}));
    }
    {
        // labgrid raises on a non-zero exit status: a board that does not
        // switch must give one.
        LabMachine stuck({"--stuck"});
        QCOMPARE(stuck.runSplit(driver.value("cmd_on")), 1);
        QCOMPARE(stuck.received(), (QStringList{"s00t", "s02p ignored", "s00t"}));
    }
}

QTEST_GUILESS_MAIN(TestCliLabTools)
#include "tst_cli_lab_tools.moc"
