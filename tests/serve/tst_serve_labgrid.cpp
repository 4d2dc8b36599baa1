// labgrid (Debian's python3-labgrid) drives outlets through `orvessa serve`
// as a lab's environment file sets it up: NetworkPowerDriver on a
// NetworkPowerPort of model rest, with and without the token in the URL.
#include "serve_process.h"
#include "sim_process.h"

#include <sys/stat.h>

class TestServeLabgrid : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void networkPowerDriver_data();
    void networkPowerDriver();
};

namespace {

const QString Python = QStringLiteral("/usr/bin/python3");
const QByteArray Token = "lab-token-0123";

// Switches outlet 3 on, off, and cycles it, printing the state read after each.
const char* Script = R"(
import sys
from labgrid import Environment
power = Environment(sys.argv[1]).get_target("rack").get_driver("NetworkPowerDriver")
for step in ("on", "off", "cycle"):
    getattr(power, step)()
    print(step, power.get(), flush=True)
)";

QByteArray environmentFile(const QString& url)
{
    return QStringLiteral("targets:\n"
                          "  rack:\n"
                          "    resources:\n"
                          "      NetworkPowerPort:\n"
                          "        model: rest\n"
                          "        host: '%1'\n"
                          "        index: 3\n"
                          "    drivers:\n"
                          "      NetworkPowerDriver:\n"
                          "        delay: 0.2\n")
        .arg(url)
        .toUtf8();
}

}  // namespace

void TestServeLabgrid::initTestCase()
{
    QProcess probe;
    probe.start(Python, {"-c", "import labgrid"});
    if (!probe.waitForFinished(60000) || probe.exitCode() != 0)
        QSKIP("python3-labgrid is not installed (scripts/setup installs it): labgrid's NetworkPowerDriver not tried");
}

void TestServeLabgrid::networkPowerDriver_data()
{
    QTest::addColumn<QString>("host");          // NetworkPowerPort's host; {address}: the server's, {token}
    QTest::addColumn<QString>("printed");       // what the script printed
    QTest::addColumn<QStringList>("switches");  // the server's log of the PUTs, their outcomes

    const QString worked = "on True\noff False\ncycle True\n";
    const QStringList all{"PUT /outlet/3 1: 200 on", "PUT /outlet/3 0: 200 off", "PUT /outlet/3 0: 200 off",
                          "PUT /outlet/3 1: 200 on"};
    QTest::newRow("plain") << "http://{address}/outlet/{index}" << worked << all;
    QTest::newRow("token in the URL") << "http://:{token}@{address}/outlet/{index}" << worked << all;
    QTest::newRow("wrong token in the URL") << "http://:wrong@{address}/outlet/{index}" << QString()
                                            << QStringList{"PUT /outlet/3 1: 401 the token given is not this server's"};
}

void TestServeLabgrid::networkPowerDriver()
{
    QFETCH(QString, host);
    QFETCH(QString, printed);
    QFETCH(QStringList, switches);

    QTemporaryDir folder;
    QFile token(folder.filePath("token"));
    QVERIFY(token.open(QIODevice::WriteOnly) && token.write(Token + "\n") > 0);
    token.close();
    QCOMPARE(::chmod(QFile::encodeName(token.fileName()).constData(), 0600), 0);
    const bool withToken = host.contains("{token}") || host.contains("wrong");
    SimProcess sim({});
    QStringList args{"--port", sim.device(), "--listen", "127.0.0.1:0"};
    args << (withToken ? QStringList{"--token-file", token.fileName()} : QStringList{"--no-token"});
    ServeProcess server(args);
    QVERIFY2(server.serving(), qPrintable(server.log()));

    host.replace("{address}", QUrl(server.url()).authority()).replace("{token}", Token);
    QFile environment(folder.filePath("rack.yaml"));
    QVERIFY(environment.open(QIODevice::WriteOnly) && environment.write(environmentFile(host)) > 0);
    environment.close();
    QProcess labgrid;
    labgrid.start(Python, {"-c", Script, environment.fileName()});
    QVERIFY(labgrid.waitForFinished(60000));
    const QString error = labgrid.readAllStandardError();
    QCOMPARE(QString(labgrid.readAllStandardOutput()), printed);
    if (printed.isEmpty())
        QVERIFY2(error.contains("401"), qPrintable(error));

    QCOMPARE(server.end(), 0);
    QCOMPARE(server.changes(), switches);
}

QTEST_GUILESS_MAIN(TestServeLabgrid)
#include "tst_serve_labgrid.moc"
