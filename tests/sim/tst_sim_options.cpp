// parseOptions: accepted command lines and the errors for bad ones.
#include "options.h"

#include <QtTest>

using orvessa::sim::OptionError;
using orvessa::sim::Options;

class TestSimOptions : public QObject {
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
};

void TestSimOptions::parse_data()
{
    QTest::addColumn<QString>("line");
    // Parsed fields, or "error: " and a fragment of the one-line message.
    QTest::addColumn<QString>("expected");

    const QList<QPair<QString, QString>> rows = {
        {"", "help=0 word=0 silent=0 stuck=0 first=- stray= split=0 noise=0 seed=1 log=0 exit=0 fast=0 link="},
        {"--stuck", "help=0 word=0 silent=0 stuck=1 first=- stray= split=0 noise=0 seed=1 log=0 exit=0 fast=0 link="},
        {"--stuck=yes", "error: option --stuck takes no value"},
        {"-h --silent --log --exit-on-close --fast",
         "help=1 word=0 silent=1 stuck=0 first=- stray= split=0 noise=0 seed=1 log=1 exit=1 fast=1 link="},
        {"--word 4095 --word=0x5a3 --answer-first 0 --stray=0x7F,a --split-delay 25 --noise 0.5 "
         "--noise-seed 0x10 --link /tmp/l",
         "help=0 word=1443 silent=0 stuck=0 first=0 stray=7f0a split=25 noise=0.5 seed=16 log=0 exit=0 fast=0 "
         "link=/tmp/l"},
        {"--word 0XFFF --stray 41,42", "help=0 word=4095 silent=0 stuck=0 first=- stray=4142 split=0 noise=0 seed=1 "
                                       "log=0 exit=0 fast=0 link="},
        {"--bogus", "error: unknown option '--bogus'"},
        {"extra", "error: unexpected argument 'extra'"},
        {"--fast --word", "error: option --word needs a value"},
        {"--word 4096", "error: option --word: value '4096' is out of range 0..4095"},
        {"--word 0x1000", "error: '0x1000' is out of range"},
        {"--word -1", "error: option --word: expects a number"},
        {"--word 12x", "error: got '12x'"},
        {"--word 0x", "error: got '0x'"},
        {"--word 99999999999999999999999", "error: option --word"},
        {"--answer-first two", "error: option --answer-first"},
        {"--stray 4g", "error: option --stray: expects hex bytes"},
        {"--stray 41,123", "error: got '41,123'"},
        {"--stray 41,", "error: option --stray"},
        {"--split-delay 60001", "error: option --split-delay"},
        {"--noise 0", "error: option --noise: rate '0' is out of range"},
        {"--noise lots", "error: option --noise: expects a rate"},
        {"--noise-seed 0xzz", "error: option --noise-seed"},
        {"--link=", "error: option --link"},
        {"--fast=1", "error: option --fast takes no value"},
    };
    for (const auto& [line, expected] : rows) {
        QTest::newRow(qPrintable(line.isEmpty() ? "(none)" : line.left(40))) << line << expected;
    }
}

void TestSimOptions::parse()
{
    QFETCH(QString, line);
    QFETCH(QString, expected);

    std::vector<std::string> storage;
    for (const QString& a : line.split(' ', Qt::SkipEmptyParts))
        storage.push_back(a.toStdString());
    const std::vector<std::string_view> args(storage.begin(), storage.end());
    const auto result = orvessa::sim::parseOptions(args);

    if (const auto* error = std::get_if<OptionError>(&result)) {
        const QString message = QString::fromStdString(error->message);
        QVERIFY2(expected.startsWith("error: ") && message.contains(expected.mid(7)), qPrintable(message));
        QVERIFY(!message.contains('\n'));
        return;
    }
    const Options& o = std::get<Options>(result);
    QString stray;
    for (auto b : o.stray)
        stray += QString::asprintf("%02x", b);
    const QString parsed =
        QString("help=%1 word=%2 silent=%3 stuck=%4 first=%5 stray=%6 split=%7 noise=%8 seed=%9 log=%10 "
                "exit=%11 fast=%12 link=%13")
            .arg(o.help)
            .arg(o.word)
            .arg(o.silent)
            .arg(o.stuck)
            .arg(o.answerFirst ? QString::number(*o.answerFirst) : "-")
            .arg(stray)
            .arg(o.splitDelay.count())
            .arg(o.noiseRate)
            .arg(o.noiseSeed)
            .arg(o.log)
            .arg(o.exitOnClose)
            .arg(o.fast)
            .arg(QString::fromStdString(o.linkPath));
    QCOMPARE(parsed, expected);
}

QTEST_APPLESS_MAIN(TestSimOptions)
#include "tst_sim_options.moc"
