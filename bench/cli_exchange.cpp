// The wire exchanges of orvessa's verbs, timed without orvessa: one port
// opened once, then per sample the status query to its reply ("status"), or
// the query, the channel command of outlet 3 and the query again ("on3", from
// outlet 3 off; it is switched back off between samples, untimed), or the
// query, the channel commands of all twelve outlets and the query again
// ("twelve": twelve outlets switched by channel commands alone), or the query,
// the board's all-on or all-off (in turn) and the query again ("all": the
// batch that switches twelve outlets to one state), or the query, all-on and
// six channel commands and the query again ("mixed": the batch that takes
// outlets 1-6 on and 7-12 off to the other way round, and back). Prints one line per sample: the time in microseconds.
//
//   tavrin_bench_exchange --device PATH --sequence status|on3|twelve|all|mixed --samples N
#include "commands.h"
#include "reply_scanner.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSerialPort>

#include <cstdio>
#include <optional>

namespace {

constexpr int ReplyWaitMs = 2000;

bool send(QSerialPort& port, const QByteArray& bytes)
{
    return port.write(bytes) == bytes.size() && port.waitForBytesWritten(ReplyWaitMs);
}

std::optional<std::uint16_t> query(QSerialPort& port)
{
    port.clear(QSerialPort::Input);
    if (!send(port, Command::StatusQuery))
        return std::nullopt;
    ReplyScanner scanner(ReplyScanner::Kind::Status);
    const QDeadlineTimer deadline(ReplyWaitMs);
    while (!scanner.found() && !deadline.hasExpired())
        if (port.waitForReadyRead(int(deadline.remainingTime())))
            scanner.feed(port.readAll());
    return scanner.stateword();
}

}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption device("device", "the simulator's device", "path");
    const QCommandLineOption sequence("sequence", "status, on3, twelve, all or mixed", "name", "status");
    const QCommandLineOption samples("samples", "samples to take", "n", "50");
    parser.addOptions({device, sequence, samples});
    parser.process(app);
    const bool on3 = parser.value(sequence) == "on3";
    const bool twelve = parser.value(sequence) == "twelve";
    const bool all = parser.value(sequence) == "all";
    const bool mixed = parser.value(sequence) == "mixed";
    const int count = parser.value(samples).toInt();

    QSerialPort port(parser.value(device));
    port.setBaudRate(QSerialPort::Baud9600);
    port.setDataBits(QSerialPort::Data8);
    port.setParity(QSerialPort::NoParity);
    port.setStopBits(QSerialPort::OneStop);
    port.setFlowControl(QSerialPort::NoFlowControl);
    if (!port.open(QIODevice::ReadWrite)) {
        std::fprintf(stderr, "tavrin_bench_exchange: cannot open %s: %s\n", qPrintable(port.portName()),
                     qPrintable(port.errorString()));
        return 1;
    }
    const QByteArray channel3 = Command::channel(2);
    constexpr int Warmup = 3;
    for (int i = 0; i < Warmup + count; ++i) {
        if (on3) {
            const auto word = query(port);
            if (word && (*word & 0x4) && !(send(port, channel3) && query(port)))
                return 1;
        }
        QElapsedTimer timer;
        timer.start();
        bool ok = query(port).has_value();
        if (on3)
            ok = ok && send(port, channel3) && query(port).has_value();
        if (twelve) {
            for (int channel = 0; channel < Command::ChannelCount; ++channel)
                ok = ok && send(port, Command::channel(channel));
            ok = ok && query(port).has_value();
        }
        if (all) {
            ok = ok && send(port, i % 2 == 0 ? Command::AllOn : Command::AllOff);
            ok = ok && query(port).has_value();
        }
        if (mixed) {
            // The server's plan both ways: all-on, then the six outlets to be
            // off flipped (1-6, then 7-12).
            const int first = i % 2 == 0 ? 0 : Command::ChannelCount / 2;
            ok = ok && send(port, Command::AllOn);
            for (int channel = first; channel < first + Command::ChannelCount / 2; ++channel)
                ok = ok && send(port, Command::channel(channel));
            ok = ok && query(port).has_value();
        }
        const qint64 us = timer.nsecsElapsed() / 1000;
        if (!ok) {
            std::fprintf(stderr, "tavrin_bench_exchange: the simulator did not answer\n");
            return 1;
        }
        if (i >= Warmup)
            std::printf("%lld\n", static_cast<long long>(us));
    }
    return 0;
}
