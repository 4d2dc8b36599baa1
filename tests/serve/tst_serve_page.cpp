// orvessa serve's page in a real browser: Debian's chromium, headless, driven
// through chromedriver by python3-selenium (page_in_browser.py). The page
// shows the twelve outlets with their names, its On button switches the
// outlet on the board, a change by orvessa shows on the page through the
// event stream, with no status polls while the stream is up, and
// with a token the page asks for it without the browser's own login dialog.
#include "serve_process.h"
#include "sim_process.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <sys/stat.h>

class TestServePage : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void inBrowser_data();
    void inBrowser();
};

namespace {

const QString Python = QStringLiteral("/usr/bin/python3");
const QByteArray Token = "page-token-4711";
const QStringList Names{"mains", "router", "switch", "dut-a", "dut-b", "camera",
                        "fan",   "light",  "modem",  "hub",   "nas",   "Kühlung"};

}  // namespace

void TestServePage::initTestCase()
{
    QProcess probe;
    probe.start(Python, {"-c", "import selenium"});
    if (!probe.waitForFinished(60000) || probe.exitCode() != 0 || !QFile::exists("/usr/bin/chromium") ||
        !QFile::exists("/usr/bin/chromedriver"))
        QSKIP("chromium, chromium-driver or python3-selenium is not installed (scripts/setup installs them)");
}

void TestServePage::inBrowser_data()
{
    QTest::addColumn<QString>("tokenFrom");  // none (--no-token), file (--token-file), made (by the server)
    QTest::addColumn<QStringList>("typed");  // given to the page's token form, in turn
    QTest::addColumn<QStringList>("asked");  // what the form said each time

    QTest::newRow("no token") << "none" << QStringList{} << QStringList{};
    QTest::newRow("token") << "file" << QStringList{Token} << QStringList{"This server needs its token."};
    QTest::newRow("the token the server made, in the address it printed") << "made" << QStringList{} << QStringList{};
    QTest::newRow("wrong token, then the right one")
        << "file" << QStringList{"wrong", Token}
        << QStringList{"This server needs its token.", "The token was not accepted; give it again."};
}

void TestServePage::inBrowser()
{
    QFETCH(QString, tokenFrom);
    QFETCH(QStringList, typed);
    QFETCH(QStringList, asked);

    QTemporaryDir folder;
    QFile token(folder.filePath("token"));
    QVERIFY(token.open(QIODevice::WriteOnly) && token.write(Token + "\n") > 0);
    token.close();
    QCOMPARE(::chmod(QFile::encodeName(token.fileName()).constData(), 0600), 0);
    QByteArray outletNames;
    for (int i = 0; i < Names.size(); ++i)
        outletNames += QStringLiteral("%1=%2\n").arg(i + 1).arg(Names[i]).toUtf8();
    SimProcess sim({});
    QStringList args{"--port", sim.device(), "--listen", "127.0.0.1:0"};
    if (tokenFrom == "file")
        args << "--token-file" << token.fileName();
    if (tokenFrom == "none")
        args << "--no-token";
    ServeProcess server(args, outletNames);
    QVERIFY2(server.serving(), qPrintable(server.log()));
    QString pageAddress = server.url();
    QByteArray given = tokenFrom == "file" ? Token : QByteArray();
    if (tokenFrom == "made") {
        const auto printed = QRegularExpression("the page with it: (\\S+#token=(\\S+))").match(server.log());
        QVERIFY2(printed.hasMatch(), qPrintable(server.log()));
        pageAddress = printed.captured(1);
        given = printed.captured(2).toLatin1();
    }

    QDir(ARTIFACTS_DIR).mkpath(".");
    const QString screenshot =
        QStringLiteral("%1/page-%2.png")
            .arg(ARTIFACTS_DIR, QString(QTest::currentDataTag()).replace(QRegularExpression("\\W+"), "-"));
    QFile::remove(screenshot);
    QProcess browser;
    // orvessa finds the server by itself, in the server's runtime folder.
    QStringList orvessa{ORVESSA_PATH, "--port", sim.device()};
    orvessa << "on"
            << "7";
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_RUNTIME_DIR", QFileInfo(server.runtimeFolder()).path());
    browser.setProcessEnvironment(environment);
    browser.start(Python, QStringList{PAGE_SCRIPT, pageAddress, screenshot, QString::fromLatin1(given),
                                      QJsonDocument(QJsonArray::fromStringList(orvessa)).toJson()} +
                              typed);
    QVERIFY(browser.waitForFinished(120000));
    const QString output = QString::fromUtf8(browser.readAllStandardOutput());
    QVERIFY2(browser.exitCode() == 0, qPrintable(output + browser.readAllStandardError()));

    QStringList expected;
    for (const QString& said : asked)
        expected << "asked for the token: " + said;
    QStringList headings;
    for (int i = 0; i < Names.size(); ++i)
        headings << QStringLiteral("Outlet %1 %2").arg(i + 1).arg(Names[i]);
    expected << "outlets: " + headings.join("; ") << "button: On, described as Outlet 5 dut-b"
             << "page: outlet 5 off"
             << "page: outlet 5 on"
             << "board: outlet 5 1"
             << "page: outlet 7 off"
             << "orvessa: outlet 7: on"
             << "page: outlet 7 on"
             << "status polls while the stream was up: 0"
             << "Basic challenges: []"
             << "page errors: []";
    QCOMPARE(output.split('\n', Qt::SkipEmptyParts), expected);
    QVERIFY(QFile::exists(screenshot));
    qInfo("screenshot: %s", qPrintable(screenshot));

    // The page's own request was accepted as same-origin; orvessa's went through the server.
    QCOMPARE(server.end(), 0);
    QVERIFY2(server.log().contains("GET /api/events: event stream open"), qPrintable(server.log()));
    QCOMPARE(server.changes(),
             QStringList({R"(POST /api/on {"outlets":[5]}: 200 ok)", R"(POST /api/on {"outlets":["7"]}: 200 ok)"}));
}

QTEST_GUILESS_MAIN(TestServePage)
#include "tst_serve_page.moc"
