// Clients of orvessa serve for bench/serve, on keep-alive HTTP/1.1
// connections to a loopback port, each with one request at a time. Prints
// samples, one a line ("NAME MICROSECONDS"), or summaries ("NAME k=v ..."),
// on stdout; exits 1 on an answer that is not what the board must say.
//
//   tavrin_bench_serve --port P latency --samples N [--gap-ms 300] [--outlet 3]
//       per sample: a GET /outlet/n that must wait for a state read (the last
//       read older than 250 ms), the same GET at once (answered from that
//       read), and a confirmed PUT /outlet/n that switches the outlet over
//   tavrin_bench_serve --port P twelve --samples N
//       per sample: twelve PUTs to twelve outlets on twelve connections at
//       once, all on or all off in turn (and how long writing the twelve
//       took); then per sample the twelve switched over one at a time
//   tavrin_bench_serve --port P twelve --mixed --samples N
//       from outlets 1-6 on and 7-12 off, per sample twelve PUTs at once that
//       switch every outlet over (1-6 off and 7-12 on, then back)
//   tavrin_bench_serve --port P silent --token T --samples N [--gap-ms 10]
//       on a board that has fallen silent: a PUT /outlet/n that waits for
//       its read, and while it waits, on other connections, GET / (the page)
//       and GET /api/status without the token (401), each every gap, and one
//       GET /api/status with the token (it came after the switch, so it waits)
//   tavrin_bench_serve --port P page --seconds S
//       GET /api/status every 500 ms, as the web page polls
//   tavrin_bench_serve --port P mix --clients 20 --seconds S
//       clients looping over GET /outlet/n, PUT /outlet/n and GET /api/status
//       with pauses of 20 to 200 ms, each opening a new connection every 100
//       requests; eight clients to a loopback address (127.0.0.1, .2, ...),
//       as orvessa serve takes at most 16 connections from one address
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace {

constexpr int AnswerWaitMs = 10000;
constexpr int Outlets = 12;

struct Answer {
    int status = 0;  // 0: no answer (the connection failed or closed)
    QByteArray body;
    qint64 us = 0;  // from the request written to its answer read whole
};

// One keep-alive connection, one request at a time, from the address `from`
// (any when null); it connects again when the server closed it.
class HttpConnection : public QObject {
public:
    using Done = std::function<void(const Answer&)>;

    explicit HttpConnection(quint16 port, const QHostAddress& from = {}) : port_(port), from_(from)
    {
        connect(&socket_, &QTcpSocket::connected, this, [this] {
            socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
            socket_.write(std::exchange(unsent_, {}));
            socket_.flush();
        });
        connect(&socket_, &QTcpSocket::readyRead, this, &HttpConnection::arrived);
        connect(&socket_, &QTcpSocket::disconnected, this, [this] { fail(); });
        connect(&socket_, &QTcpSocket::errorOccurred, this, [this] { fail(); });
    }

    void request(const QByteArray& method, const QByteArray& path, const QByteArray& body, Done done)
    {
        if (socket_.state() == QAbstractSocket::UnconnectedState) {
            if (!from_.isNull())
                socket_.bind(from_);
            socket_.connectToHost(QHostAddress::LocalHost, port_);
        }
        done_ = std::move(done);
        received_.clear();
        QByteArray bytes =
            method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port_) + "\r\n" + header_;
        if (method != "GET")
            bytes += "Content-Type: text/plain\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
        bytes += "\r\n" + body;
        took_.start();
        if (socket_.state() != QAbstractSocket::ConnectedState) {
            unsent_ = bytes;  // written once connected
            return;
        }
        socket_.write(bytes);
        socket_.flush();
    }

    void reconnect() { socket_.abort(); }

    // A header line ("Name: value") sent with every request.
    void setHeader(const QByteArray& line) { header_ = line + "\r\n"; }

private:
    void arrived()
    {
        received_ += socket_.readAll();
        const qsizetype headEnd = received_.indexOf("\r\n\r\n");
        if (headEnd < 0 || !done_)
            return;
        const QByteArray head = received_.left(headEnd).toLower();
        qsizetype length = 0;
        if (const qsizetype at = head.indexOf("\r\ncontent-length:"); at >= 0) {
            const qsizetype end = head.indexOf("\r\n", at + 2);
            length = head.mid(at + 17, end < 0 ? -1 : end - at - 17).trimmed().toLongLong();
        }
        if (received_.size() < headEnd + 4 + length)
            return;
        Answer answer{received_.mid(9, 3).toInt(), received_.mid(headEnd + 4, length), took_.nsecsElapsed() / 1000};
        received_.remove(0, headEnd + 4 + length);
        std::exchange(done_, nullptr)(answer);
    }

    void fail()
    {
        if (done_) {
            Answer answer;
            answer.us = took_.nsecsElapsed() / 1000;
            QTimer::singleShot(0, this, [done = std::exchange(done_, nullptr), answer] { done(answer); });
        }
    }

    quint16 port_;
    QHostAddress from_;
    QTcpSocket socket_;
    QByteArray header_;
    QByteArray unsent_;
    QByteArray received_;
    Done done_;
    QElapsedTimer took_;
};

// Waits for one request's answer.
Answer call(HttpConnection& connection, const QByteArray& method, const QByteArray& path, const QByteArray& body = {})
{
    QEventLoop loop;
    Answer answer;
    bool answered = false;
    connection.request(method, path, body, [&](const Answer& a) {
        answer = a;
        answered = true;
        loop.quit();
    });
    QTimer::singleShot(AnswerWaitMs, &loop, &QEventLoop::quit);
    if (!answered)
        loop.exec();
    return answer;
}

[[noreturn]] void wrong(const char* what, const Answer& answer)
{
    std::fprintf(stderr, "tavrin_bench_serve: %s: status %d, body %s\n", what, answer.status,
                 answer.body.left(300).constData());
    std::exit(1);
}

void sample(const char* name, qint64 us) { std::printf("%s %lld\n", name, static_cast<long long>(us)); }

QByteArray outletPath(int outlet) { return "/outlet/" + QByteArray::number(outlet); }

int latency(quint16 port, int samples, int gapMs, int outlet)
{
    HttpConnection connection(port);
    const QByteArray path = outletPath(outlet);
    constexpr int Warmup = 3;
    QByteArray state = call(connection, "GET", path).body;
    for (int i = 0; i < Warmup + samples; ++i) {
        QThread::msleep(gapMs);  // the last read is older than 250 ms now
        const Answer read = call(connection, "GET", path);
        const Answer cached = call(connection, "GET", path);
        if (read.status != 200 || read.body != state || cached.status != 200 || cached.body != state)
            wrong("GET", read.status != 200 ? read : cached);
        state = state == "1" ? "0" : "1";
        const Answer put = call(connection, "PUT", path, state);
        if (put.status != 200 || put.body != state)
            wrong("PUT", put);
        if (i < Warmup)
            continue;
        sample("get_read", read.us);
        sample("get_cached", cached.us);
        sample("put", put.us);
    }
    return 0;
}

// Lets the event loop run for `ms`, so that answers are taken as they come.
void pause(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Each outlet's state in `word` (bit n-1 for outlet n) as a PUT body.
QByteArray bodyOf(std::uint16_t word, int outlet) { return word & (1u << (outlet - 1)) ? "1" : "0"; }

// Twelve PUTs on twelve connections written at once, to the states of
// `word`; prints how long writing them took and the time to the last answer.
void twelveAtOnce(std::vector<std::unique_ptr<HttpConnection>>& connections, std::uint16_t word)
{
    QEventLoop loop;
    int answered = 0;
    QElapsedTimer all;
    all.start();
    for (int outlet = 1; outlet <= Outlets; ++outlet) {
        const QByteArray body = bodyOf(word, outlet);
        connections[std::size_t(outlet - 1)]->request("PUT", outletPath(outlet), body, [&, body](const Answer& answer) {
            if (answer.status != 200 || answer.body != body)
                wrong("PUT of twelve at once", answer);
            if (++answered == Outlets)
                loop.quit();
        });
    }
    const qint64 written = all.nsecsElapsed() / 1000;
    QTimer::singleShot(AnswerWaitMs, &loop, &QEventLoop::quit);
    if (answered != Outlets)
        loop.exec();
    const qint64 together = all.nsecsElapsed() / 1000;
    if (answered != Outlets)
        wrong("PUT of twelve at once", Answer{});
    sample("written", written);
    sample("together", together);
}

// Twelve PUTs one after the other on the same connections.
void twelveInTurn(std::vector<std::unique_ptr<HttpConnection>>& connections, std::uint16_t word, bool timed)
{
    QElapsedTimer all;
    all.start();
    for (int outlet = 1; outlet <= Outlets; ++outlet) {
        const QByteArray body = bodyOf(word, outlet);
        const Answer answer = call(*connections[std::size_t(outlet - 1)], "PUT", outletPath(outlet), body);
        if (answer.status != 200 || answer.body != body)
            wrong("PUT one at a time", answer);
    }
    if (timed)
        sample("one_at_a_time", all.nsecsElapsed() / 1000);
}

int twelve(quint16 port, int samples, bool mixed)
{
    constexpr std::uint16_t AllOn = (1u << Outlets) - 1;
    constexpr std::uint16_t FirstSix = (1u << (Outlets / 2)) - 1;
    std::vector<std::unique_ptr<HttpConnection>> connections;
    for (int outlet = 1; outlet <= Outlets; ++outlet)
        connections.push_back(std::make_unique<HttpConnection>(port));
    std::uint16_t word = mixed ? FirstSix : 0;
    twelveInTurn(connections, word, false);
    // The rounds at once, each switching every outlet over from the last:
    // all on and all off in turn, or half and half the one way and the other.
    // Each follows a pause, which the simulator's log shows as a gap.
    for (int i = 0; i < samples; ++i) {
        QThread::msleep(100);
        word = ~word & AllOn;
        twelveAtOnce(connections, word);
    }
    for (int i = 0; i < samples && !mixed; ++i) {
        QThread::msleep(100);
        word = ~word & AllOn;
        twelveInTurn(connections, word, true);
    }
    return 0;
}

// While a PUT waits for a silent board, the requests that need no wire, on
// connections of their own; only those written and answered while it waits
// are samples.
int silent(quint16 port, int samples, int gapMs, int outlet, const QByteArray& token)
{
    const QByteArray authorization = "Authorization: Bearer " + token;
    HttpConnection put(port);
    put.setHeader(authorization);
    HttpConnection status(port);
    status.setHeader(authorization);
    HttpConnection page(port);
    HttpConnection refused(port);
    int pages = 0;
    int refusals = 0;
    while (pages < samples || refusals < samples) {
        bool putWaits = true;
        bool statusWaits = true;
        put.request("PUT", outletPath(outlet), "1", [&](const Answer& answer) {
            putWaits = false;
            if (answer.status != 503)
                wrong("PUT to a silent board", answer);
            sample("put_silent", answer.us);
        });
        // The PUT's read is on the wire by now; a status from now on came after it.
        pause(gapMs);
        status.request("GET", "/api/status", {}, [&](const Answer& answer) {
            statusWaits = false;
            if (answer.status != 503)
                wrong("GET /api/status after the PUT to a silent board", answer);
            sample("status_after_put", answer.us);
        });
        // One request, a sample when the PUT waited from before it was
        // written until after its answer.
        const auto during = [&putWaits, samples](HttpConnection& connection, const QByteArray& path, int expected,
                                                 const char* name, int& taken) {
            if (!putWaits || taken >= samples)
                return;
            const Answer answer = call(connection, "GET", path);
            if (answer.status != expected)
                wrong(name, answer);
            if (putWaits) {
                ++taken;
                sample(name, answer.us);
            }
        };
        while (putWaits) {
            during(page, "/", 200, "page", pages);
            during(refused, "/api/status", 401, "refused", refusals);
            pause(gapMs);
        }
        QElapsedTimer waited;
        waited.start();
        while (statusWaits && !waited.hasExpired(AnswerWaitMs))
            pause(10);
        if (statusWaits)
            wrong("GET /api/status after the PUT to a silent board", Answer{});
    }
    return 0;
}

int page(quint16 port, int seconds)
{
    HttpConnection connection(port);
    int requests = 0;
    int failed = 0;
    bool waiting = false;
    QTimer poll;
    poll.setInterval(500);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (waiting)
            return;  // the page, too, waits for its last answer
        waiting = true;
        ++requests;
        connection.request("GET", "/api/status", {}, [&](const Answer& answer) {
            waiting = false;
            if (answer.status != 200)
                ++failed;
        });
    });
    poll.start();
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    std::printf("page requests=%d failed=%d\n", requests, failed);
    return failed == 0 ? 0 : 1;
}

// One of the mix's clients: its own outlet, a request at a time.
class MixClient : public QObject {
public:
    struct Tally {
        int ok = 0;
        int conflicts = 0;  // 409: another client reversed the outlet in the same batch
        int failed = 0;
        std::vector<qint64> us;
    };

    MixClient(quint16 port, const QHostAddress& from, int outlet, Tally& tally, const bool& stopping)
        : connection_(port, from), outlet_(outlet), tally_(tally), stopping_(stopping)
    {
        pause_.setSingleShot(true);
        connect(&pause_, &QTimer::timeout, this, &MixClient::next);
        pause_.start(int(QRandomGenerator::global()->bounded(20, 200)));
    }

    bool busy() const { return busy_; }

private:
    void next()
    {
        if (stopping_)
            return;
        if (++sent_ % 100 == 0)
            connection_.reconnect();
        const quint32 pick = QRandomGenerator::global()->bounded(10);
        const QByteArray path = pick < 8 ? outletPath(outlet_) : QByteArray("/api/status");
        const QByteArray method = pick < 5 ? "GET" : pick < 8 ? "PUT" : "GET";
        const QByteArray body =
            method == "PUT" ? QByteArray::number(QRandomGenerator::global()->bounded(2)) : QByteArray();
        busy_ = true;
        connection_.request(method, path, body, [this](const Answer& answer) {
            busy_ = false;
            if (answer.status == 200)
                ++tally_.ok;
            else if (answer.status == 409)
                ++tally_.conflicts;
            else
                ++tally_.failed;
            tally_.us.push_back(answer.us);
            pause_.start(int(QRandomGenerator::global()->bounded(20, 200)));
        });
    }

    HttpConnection connection_;
    int outlet_;
    Tally& tally_;
    const bool& stopping_;
    QTimer pause_;
    int sent_ = 0;
    bool busy_ = false;
};

qint64 percentile(std::vector<qint64> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto rank = std::size_t(std::max(1.0, std::ceil(p * double(values.size()))));
    return values[rank - 1];
}

int mix(quint16 port, int clients, int seconds)
{
    MixClient::Tally tally;
    bool stopping = false;
    std::vector<std::unique_ptr<MixClient>> all;
    for (int i = 0; i < clients; ++i) {
        const QHostAddress from(QHostAddress(QHostAddress::LocalHost).toIPv4Address() + quint32(i / 8));
        all.push_back(std::make_unique<MixClient>(port, from, i % Outlets + 1, tally, stopping));
    }
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    stopping = true;
    // The last answers.
    QElapsedTimer waited;
    waited.start();
    while (std::any_of(all.cbegin(), all.cend(), [](const auto& c) { return c->busy(); }) &&
           !waited.hasExpired(AnswerWaitMs))
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    std::printf("mix requests=%zu ok=%d conflicts=%d failed=%d median_us=%lld p99_us=%lld\n", tally.us.size(), tally.ok,
                tally.conflicts, tally.failed, static_cast<long long>(percentile(tally.us, 0.5)),
                static_cast<long long>(percentile(tally.us, 0.99)));
    return tally.failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption port("port", "the server's port on 127.0.0.1", "n");
    const QCommandLineOption samples("samples", "samples to take", "n", "100");
    const QCommandLineOption gap("gap-ms", "latency: pause before each sample", "ms", "300");
    const QCommandLineOption outlet("outlet", "latency: the outlet", "n", "3");
    const QCommandLineOption seconds("seconds", "page, mix: how long", "s", "60");
    const QCommandLineOption clients("clients", "mix: clients at once", "n", "20");
    const QCommandLineOption mixed("mixed", "twelve: every outlet switched over, half on and half off");
    const QCommandLineOption token("token", "silent: the server's token", "token");
    parser.addOptions({port, samples, gap, outlet, seconds, clients, mixed, token});
    parser.addPositionalArgument("mode", "latency, twelve, silent, page or mix");
    parser.process(app);
    const quint16 serverPort = quint16(parser.value(port).toUInt());
    const QString mode = parser.positionalArguments().value(0);
    if (serverPort == 0)
        parser.showHelp(2);
    if (mode == "latency")
        return latency(serverPort, parser.value(samples).toInt(), parser.value(gap).toInt(),
                       parser.value(outlet).toInt());
    if (mode == "twelve")
        return twelve(serverPort, parser.value(samples).toInt(), parser.isSet(mixed));
    if (mode == "silent")
        return silent(serverPort, parser.value(samples).toInt(), parser.isSet(gap) ? parser.value(gap).toInt() : 10,
                      parser.value(outlet).toInt(), parser.value(token).toLatin1());
    if (mode == "page")
        return page(serverPort, parser.value(seconds).toInt());
    if (mode == "mix")
        return mix(serverPort, parser.value(clients).toInt(), parser.value(seconds).toInt());
    parser.showHelp(2);
}
