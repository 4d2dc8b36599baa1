// In-process latency of the panel: a real Form1 on the host serial component
// (HostSerial) against a pseudo-terminal whose master side this program plays
// as the controller, in a thread of its own so that it notes the times on the
// wire independently of the panel's event loop.
//
//   click to wire   QTest::mouseClick on a channel button, to the first byte
//                   of its command arriving at the master
//   reply to lamp   the last byte of a status reply written to the master, to
//                   the twelve channel lamps repainted in their new colour
//                   (Lamp::paintEvent returned, seen through an event filter)
//
//   tavrin_bench_latency [--samples N] [--warmup N] [--click-out FILE] [--lamp-out FILE]
//
// Each output file receives one sample per line, in microseconds. The window
// is shown on the offscreen platform unless QT_QPA_PLATFORM says otherwise.
// The panel's poll timer is stopped while measuring, so every byte at the
// master belongs to a click and every reply to the benchmark.
#include "bench_platform.h"
#include "form1.h"
#include "host_serial.h"
#include "lamp.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTextStream>
#include <QTimer>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

std::int64_t nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void sleepNs(std::int64_t ns)
{
    timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) == EINTR) {
    }
}

// One character at 9600 baud, 8N1: ten bits.
constexpr std::int64_t CharTimeNs = 1'041'667;

// The controller's end of the line: the pty master, served by a thread that
// notes when bytes arrive and writes status replies paced like a 9600-baud line.
class ControllerSide {
public:
    struct Arrival {
        std::int64_t ns;
        QByteArray bytes;
    };

    explicit ControllerSide(int master) : master_(master)
    {
        if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
            qFatal("pipe2 failed");
        thread_ = std::thread([this] { run(); });
    }
    ~ControllerSide()
    {
        stop_ = true;
        poke();
        thread_.join();
        close(wake_[0]);
        close(wake_[1]);
    }

    std::vector<Arrival> takeArrivals()
    {
        std::lock_guard lock(mutex_);
        std::vector<Arrival> taken;
        taken.swap(arrivals_);
        return taken;
    }

    // Writes a status reply for the word; lastByteNs() then tells when its
    // last byte went to the master (taken just before that write).
    void sendStatus(std::uint16_t word)
    {
        lastByteNs_ = 0;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(word);
        }
        poke();
    }
    std::int64_t lastByteNs() const { return lastByteNs_; }

private:
    void poke()
    {
        const char c = 1;
        [[maybe_unused]] const auto n = write(wake_[1], &c, 1);
    }

    void writeAll(const char* data, std::size_t size)
    {
        while (size > 0) {
            const ssize_t n = write(master_, data, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                std::fprintf(stderr, "tavrin_bench_latency: write to the pty master failed: %s\n", strerror(errno));
                return;
            }
            data += n;
            size -= std::size_t(n);
        }
    }

    void run()
    {
        std::array<char, 4096> buffer{};
        while (!stop_) {
            std::array<pollfd, 2> fds{{{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}}};
            if (poll(fds.data(), fds.size(), 1000) < 0)
                continue;
            if (fds[0].revents & POLLIN) {
                const std::int64_t t = nowNs();
                QByteArray bytes;
                ssize_t n;
                while ((n = read(master_, buffer.data(), buffer.size())) > 0)
                    bytes.append(buffer.data(), n);
                if (!bytes.isEmpty()) {
                    std::lock_guard lock(mutex_);
                    arrivals_.push_back({t, bytes});
                }
            } else if (fds[0].revents & (POLLHUP | POLLERR)) {
                sleepNs(1'000'000);  // no slave open: nothing to read yet
            }
            if (fds[1].revents & POLLIN) {
                char drain[64];
                while (read(wake_[0], drain, sizeof drain) > 0) {
                }
                for (;;) {
                    std::uint16_t word;
                    {
                        std::lock_guard lock(mutex_);
                        if (requests_.empty())
                            break;
                        word = requests_.front();
                        requests_.pop_front();
                    }
                    // 0x00, low byte, high byte, 't': three bytes, then the
                    // last one a character time later, as on the real line.
                    const char head[3] = {0, char(word & 0xff), char(word >> 8)};
                    writeAll(head, sizeof head);
                    sleepNs(CharTimeNs);
                    lastByteNs_ = nowNs();
                    writeAll("t", 1);
                }
            }
        }
    }

    int master_;
    int wake_[2]{-1, -1};
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<std::int64_t> lastByteNs_{0};
    std::mutex mutex_;
    std::vector<Arrival> arrivals_;
    std::deque<std::uint16_t> requests_;
};

// Runs the samples of both figures, one after the other, from the event loop.
class Driver final : public QObject {
public:
    Driver(Form1& form, ControllerSide& controller, int samples, int warmup)
        : form_(form), controller_(controller), samples_(samples), warmup_(warmup)
    {
        for (int k = 0; k < Form1::Channels; ++k)
            form_.Lamp0[static_cast<std::size_t>(k)]->installEventFilter(this);
    }

    std::vector<double> clickUs;
    std::vector<double> lampUs;
    QString failure;

    void start()
    {
        later([this] { click(); });
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::Paint || !awaitingLamps_)
            return QObject::eventFilter(watched, event);
        auto* lamp = static_cast<Lamp*>(watched);
        // Let the lamp paint, then note the time: the repaint is done.
        watched->event(event);
        const std::int64_t t = nowNs();
        const auto it = std::find(form_.Lamp0.begin(), form_.Lamp0.begin() + Form1::Channels, lamp);
        const auto k = static_cast<std::size_t>(it - form_.Lamp0.begin());
        if (lamp->fillColor() == expected_ && !painted_[k]) {
            painted_[k] = true;
            if (std::all_of(painted_.begin(), painted_.end(), [](bool p) { return p; })) {
                awaitingLamps_ = false;
                const std::int64_t t0 = controller_.lastByteNs();
                if (t0 == 0) {
                    fail(QStringLiteral("the lamps changed before the reply's last byte was written"));
                    return true;
                }
                if (done_ >= warmup_)
                    lampUs.push_back(double(t - t0) / 1000.0);
                ++done_;
                later([this] { reply(); });
            }
        }
        return true;
    }

private:
    // The next step after a pause of 2 to 8 ms, so steps do not lock to any
    // rhythm and the panel's event loop is idle when each one starts.
    void later(std::function<void()> step)
    {
        if (!failure.isEmpty())
            return;
        QTimer::singleShot(2 + int(random_.bounded(7)), this, std::move(step));
    }

    void fail(const QString& why)
    {
        failure = why;
        QCoreApplication::exit(1);
    }

    void click()
    {
        if (done_ == warmup_ + samples_) {
            done_ = 0;
            later([this] { reply(); });
            return;
        }
        const int channel = done_ % Form1::Channels;
        controller_.takeArrivals();
        const std::int64_t t0 = nowNs();
        QTest::mouseClick(form_.Key0[static_cast<std::size_t>(channel)], Qt::LeftButton);
        awaitWire(t0, channel, nowNs());
    }

    void awaitWire(std::int64_t t0, int channel, std::int64_t since)
    {
        const auto arrivals = controller_.takeArrivals();
        if (arrivals.empty()) {
            if (nowNs() - since > 2'000'000'000LL) {
                fail(QStringLiteral("no byte reached the wire after a click on channel %1").arg(channel));
                return;
            }
            QTimer::singleShot(1, this, [this, t0, channel, since] { awaitWire(t0, channel, since); });
            return;
        }
        const QByteArray expected = QByteArray("s0") + char('0' + channel) + 'p';
        QByteArray all;
        for (const auto& a : arrivals)
            all += a.bytes;
        if (!all.startsWith(expected)) {
            fail(QStringLiteral("a click on channel %1 sent \"%2\"").arg(channel).arg(QString::fromLatin1(all)));
            return;
        }
        if (done_ >= warmup_)
            clickUs.push_back(double(arrivals.front().ns - t0) / 1000.0);
        ++done_;
        later([this] { click(); });
    }

    void reply()
    {
        if (done_ == warmup_ + samples_) {
            QCoreApplication::quit();
            return;
        }
        // Every channel turns over at each reply: all set, then all clear.
        const bool set = done_ % 2 == 0;
        expected_ = set ? QColor(255, 0, 0) : QColor(0, 255, 0);
        painted_.fill(false);
        awaitingLamps_ = true;
        const int sample = done_;
        controller_.sendStatus(set ? 0x0fff : 0x0000);
        QTimer::singleShot(2000, this, [this, sample] {
            if (awaitingLamps_ && done_ == sample)
                fail(QStringLiteral("the lamps were not repainted within 2 s of a status reply"));
        });
    }

    Form1& form_;
    ControllerSide& controller_;
    const int samples_;
    const int warmup_;
    int done_ = 0;
    QRandomGenerator random_{20240601};
    bool awaitingLamps_ = false;
    QColor expected_;
    std::array<bool, Form1::Channels> painted_{};
};

bool writeSamples(const QString& path, const std::vector<double>& samples)
{
    if (path.isEmpty())
        return true;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return false;
    QTextStream out(&file);
    for (double s : samples)
        out << QString::number(s, 'f', 1) << '\n';
    return true;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * double(v.size())));
    return v[std::clamp<std::size_t>(rank, 1, v.size()) - 1];
}

}  // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);

    int samples = 300;
    int warmup = 10;
    QString clickOut;
    QString lampOut;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == u"--samples")
            samples = args[i + 1].toInt();
        else if (args[i] == u"--warmup")
            warmup = args[i + 1].toInt();
        else if (args[i] == u"--click-out")
            clickOut = args[i + 1];
        else if (args[i] == u"--lamp-out")
            lampOut = args[i + 1];
        else {
            std::fprintf(stderr, "tavrin_bench_latency: unknown option %s\n", qPrintable(args[i]));
            return 2;
        }
    }
    if (samples < 1 || warmup < 0) {
        std::fprintf(stderr, "tavrin_bench_latency: bad --samples or --warmup\n");
        return 2;
    }

    // The line: our end stays open all along (the slave too, so the master
    // never hangs up while the panel has the port closed).
    int master = -1;
    int slave = -1;
    char name[128] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("tavrin_bench_latency: openpty");
        return 1;
    }
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    cfsetspeed(&tio, B9600);
    tcsetattr(slave, TCSANOW, &tio);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    qputenv("TAVRIN_COM1", name);

    ControllerSide controller(master);
    HostSerial serial;
    BenchPlatform platform;
    Form1 form(serial, platform);
    form.startUp();
    form.show();
    if (!QTest::qWaitForWindowExposed(&form)) {
        std::fprintf(stderr, "tavrin_bench_latency: the window was not exposed\n");
        return 1;
    }
    if (!serial.PortOpen()) {
        std::fprintf(stderr, "tavrin_bench_latency: the panel did not open %s: %s\n", name,
                     qPrintable(platform.messages.join(QStringLiteral("; "))));
        return 1;
    }
    // Only the benchmark's own traffic from here on.
    form.Timer1->stop();
    QTest::qWait(50);
    controller.takeArrivals();

    Driver driver(form, controller, samples, warmup);
    driver.start();
    QElapsedTimer elapsed;
    elapsed.start();
    const int status = QApplication::exec();
    form.Timer1->stop();
    serial.setPortOpen(false);
    if (status != 0 || !driver.failure.isEmpty()) {
        std::fprintf(stderr, "tavrin_bench_latency: %s\n", qPrintable(driver.failure));
        return 1;
    }
    if (!writeSamples(clickOut, driver.clickUs) || !writeSamples(lampOut, driver.lampUs)) {
        std::fprintf(stderr, "tavrin_bench_latency: cannot write the samples\n");
        return 1;
    }
    std::printf("click_to_wire n=%zu median_us=%.1f p99_us=%.1f max_us=%.1f\n", driver.clickUs.size(),
                percentile(driver.clickUs, 50), percentile(driver.clickUs, 99), percentile(driver.clickUs, 100));
    std::printf("reply_to_lamp n=%zu median_us=%.1f p99_us=%.1f max_us=%.1f\n", driver.lampUs.size(),
                percentile(driver.lampUs, 50), percentile(driver.lampUs, 99), percentile(driver.lampUs, 100));
    if (!platform.messages.isEmpty())
        std::printf("messages: %s\n", qPrintable(platform.messages.join(QStringLiteral("; "))));
    std::printf("elapsed_s=%.1f\n", double(elapsed.elapsed()) / 1000.0);
    close(slave);
    return 0;
}
