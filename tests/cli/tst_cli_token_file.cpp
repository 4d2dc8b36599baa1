// The token file as orvessa serve and orvessa read it, and the Authorization
// headers the server then accepts: what people put into such a file (an
// editor's line end, a stray space) works, and what no HTTP header can carry
// is refused when the program starts.
#include "access_rules.h"
#include "token_file.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

// The file's text as the shell gives it in "$(cat FILE)": its line ends at the
// end removed, nothing else.
QByteArray asShellReadsIt(QByteArray text)
{
    while (text.endsWith('\n'))
        text.chop(1);
    return text;
}

QByteArray basic(const QByteArray& credentials) { return "Basic " + credentials.toBase64(); }

}  // namespace

class TestCliTokenFile : public QObject {
    Q_OBJECT
private slots:
    void tokenFile_data();
    void tokenFile();
};

// One rule for the file: whitespace around the token is not part of it; a
// token that is empty, or that holds what a Bearer header cannot carry, stops
// the program at its start.
void TestCliTokenFile::tokenFile_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QByteArray>("token");  // the token read; empty when refused
    QTest::addColumn<QString>("refusal");   // a part of the refusal; empty when accepted

    QTest::newRow("a space after it") << QByteArray("s3cret-token \n") << QByteArray("s3cret-token") << QString();
    QTest::newRow("spaces after its line end")
        << QByteArray("s3cret-token\n  ") << QByteArray("s3cret-token") << QString();
    QTest::newRow("CRLF and an empty line after it")
        << QByteArray("s3cret-token\r\n\r\n") << QByteArray("s3cret-token") << QString();
    QTest::newRow("a tab before it") << QByteArray("\ts3cret-token\n") << QByteArray("s3cret-token") << QString();
    QTest::newRow("spaces on both sides")
        << QByteArray("  s3cret-token  \n") << QByteArray("s3cret-token") << QString();
    QTest::newRow("only whitespace") << QByteArray("  \r\n\t\n") << QByteArray() << QString("holds no token");
    QTest::newRow("a space inside") << QByteArray("s3cret token\n") << QByteArray()
                                    << QString("holds a space or tab inside its token");
    QTest::newRow("a control character") << QByteArray("s3cret\x01token\n") << QByteArray()
                                         << QString("holds a control character in its token");
    QTest::newRow("not ASCII") << QByteArray("s3cret-t\xc3\xb6ken\n") << QByteArray()
                               << QString("holds a character that is not ASCII in its token");
}

void TestCliTokenFile::tokenFile()
{
    QFETCH(QByteArray, contents);
    QFETCH(QByteArray, token);
    QFETCH(QString, refusal);

    QTemporaryDir folder;
    const QString path = folder.filePath("token");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size());
    file.close();
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0600), 0);

    const std::variant<QByteArray, QString> read = Driver::readTokenFile(path);
    if (!refusal.isEmpty()) {
        const QString* refused = std::get_if<QString>(&read);
        QVERIFY2(refused, "the token file was accepted");
        QVERIFY2(refused->contains(refusal) && refused->contains(path), qPrintable(*refused));
        return;
    }
    const QString* refused = std::get_if<QString>(&read);
    QVERIFY2(!refused, refused ? qPrintable(*refused) : "");
    QCOMPARE(std::get<QByteArray>(read), token);

    AccessRules::Settings settings;
    settings.token = std::get<QByteArray>(read);
    const AccessRules rules(settings);
    const QByteArray asTyped = asShellReadsIt(contents);
    // orvessa's own header, and what curl sends with the file's text.
    QVERIFY(rules.tokenAccepted("Bearer " + token));
    QVERIFY(rules.tokenAccepted("Bearer " + asTyped));
    QVERIFY(rules.tokenAccepted(basic("lab:" + token)));
    QVERIFY(rules.tokenAccepted(basic(":" + asTyped)));
    QVERIFY(!rules.tokenAccepted("Bearer " + token + "x"));
    QVERIFY(!rules.tokenAccepted(basic(":x" + token)));
}

QTEST_GUILESS_MAIN(TestCliTokenFile)
#include "tst_cli_token_file.moc"
