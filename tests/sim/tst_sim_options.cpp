// parseOptions: accepted command lines and the errors for bad ones.
#include "options.h"

#include <QtTest>

using orvessa::sim::OptionError;
using orvessa::sim::Options;

namespace {

std::variant<Options, OptionError> parse(const QString& line) {
    std::vector<std::string> storage;
    for (const QString& a : line.split(' ', Qt::SkipEmptyParts)) storage.push_back(a.toStdString());
    const std::vector<std::string_view> args(storage.begin(), storage.end());
    return orvessa::sim::parseOptions(args);
}

// The fields that differ from the defaults, in a fixed order.
QString summary(const Options& o) {
    QStringList s;
    if (o.help) s << "help";
    if (o.word) s << QString("word=%1").arg(o.word);
    if (o.silent) s << "silent";
    if (o.answerFirst) s << QString("first=%1").arg(*o.answerFirst);
    for (auto b : o.stray) s << QString::asprintf("stray=%02x", b);
    if (o.splitDelay.count()) s << QString("split=%1").arg(o.splitDelay.count());
    if (o.noiseRate > 0) s << QString("noise=%1").arg(o.noiseRate);
    if (o.noiseSeed != 1) s << QString("seed=%1").arg(o.noiseSeed);
    if (o.log) s << "log";
    if (o.exitOnClose) s << "exit";
    if (o.fast) s << "fast";
    if (!o.linkPath.empty()) s << "link=" + QString::fromStdString(o.linkPath);
    return s.join(' ');
}

}  // namespace

class TestSimOptions : public QObject {
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
};

void TestSimOptions::parse_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("expected");   // summary, or "error: <fragment>"

    const QList<QPair<QString, QString>> rows = {
        {"", ""},
        {"-h", "help"},
        {"--word 4095 --word=0x5a3", "word=1443"},
        {"--word 0XFFF --silent --log --fast --exit-on-close", "word=4095 silent log exit fast"},
        {"--answer-first 0", "first=0"},
        {"--stray 41,42", "stray=41 stray=42"},
        {"--stray=0x7F,a", "stray=7f stray=0a"},
        {"--split-delay 25 --noise 0.5 --noise-seed 0x10", "split=25 noise=0.5 seed=16"},
        {"--link /tmp/l", "link=/tmp/l"},
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
        QTest::newRow(qPrintable(line.isEmpty() ? "(none)" : line)) << line << expected;
    }
}

void TestSimOptions::parse() {
    QFETCH(QString, line);
    QFETCH(QString, expected);

    const auto result = ::parse(line);
    if (const auto* error = std::get_if<OptionError>(&result)) {
        const QString message = QString::fromStdString(error->message);
        QVERIFY2(expected.startsWith("error: ") && message.contains(expected.mid(7)),
                 qPrintable(message));
        QVERIFY(!message.contains('\n'));
    } else {
        QCOMPARE(summary(std::get<Options>(result)), expected);
    }
}

QTEST_APPLESS_MAIN(TestSimOptions)
#include "tst_sim_options.moc"
