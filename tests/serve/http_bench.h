#pragma once

#include "board_events.h"
#include "board_http_server.h"
#include "board_queue.h"
#include "guarded_tcp_server.h"
#include "model_board.h"

#include <QTcpSocket>
#include <QtTest>

#include <memory>
#include <optional>

// orvessa serve's HTTP layer in the process, on a loopback port, over the
// simulator's model of the board; requests are sent as raw bytes.
struct HttpBench {
    explicit HttpBench(const QByteArray& token = {}, const HttpLimits& limits = {})
    {
        names[2] = "router";
        Driver::BoardQueue::Timing timing;
        timing.pollMs = 3600000;
        queue.emplace(board, names, timing);
        auto tcp = std::make_unique<GuardedTcpServer>(limits);
        tcp->listen(QHostAddress::LocalHost, 0);
        port = tcp->serverPort();
        AccessRules access({token, QHostAddress::LocalHost, port, {"rack.example"}, "benchhost", {}});
        http.emplace(ServedBoard{*queue, names, "COM3 (/dev/ttyUSB0)",
                                 [] {
                                     return Driver::Report::Where{"COM3", "/dev/ttyUSB0"};
                                 },
                                 [] { return false; }},
                     std::move(access));
        http->serve(tcp.release());
        api.emplace(ServedBoard{*queue, names, "COM3 (/dev/ttyUSB0)",
                                [] {
                                    return Driver::Report::Where{"COM3", "/dev/ttyUSB0"};
                                },
                                [] { return false; }});
        events.emplace(*queue, [this](std::uint16_t word) { return api->statusOf(word); });
        http->publish(*events);
    }
    ~HttpBench()
    {
        bool stopped = false;
        queue->stop([&stopped] { stopped = true; });
        static_cast<void>(QTest::qWaitFor([&stopped] { return stopped; }, 10000));
    }

    struct Answer {
        int status = 0;  // 0: closed without an answer
        QByteArray head;
        QByteArray body;
    };

    // Sends `request`, "{port}" replaced, from the address `from` (any
    // when null), and waits for the answer or the connection's end (at most
    // `ms`).
    Answer send(QByteArray request, int ms = 5000, const QHostAddress& from = {})
    {
        request.replace("{port}", QByteArray::number(port));
        QTcpSocket socket;
        if (!from.isNull())
            socket.bind(from);
        QByteArray received;
        QObject::connect(&socket, &QTcpSocket::readyRead, [&] { received += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
        socket.write(request);
        static_cast<void>(QTest::qWaitFor(
            [&] { return whole(received) || socket.state() == QAbstractSocket::UnconnectedState; }, ms));
        Answer answer;
        const qsizetype end = received.indexOf("\r\n\r\n");
        if (end < 0)
            return answer;
        answer.head = received.left(end);
        answer.body = received.mid(end + 4);
        answer.status = received.mid(9, 3).toInt();
        return answer;
    }

    // Commands other than status queries the board received.
    QByteArrayList switched() const
    {
        QByteArrayList commands = board.written;
        commands.removeAll("s00t");
        return commands;
    }

    // The whole answers at the start of `received`, in order.
    static QList<Answer> answers(QByteArray received)
    {
        QList<Answer> all;
        while (whole(received)) {
            const qsizetype end = received.indexOf("\r\n\r\n");
            const qsizetype length = received.indexOf("Content-Length: ");
            const qsizetype size = received.mid(length + 16, 8).split('\r').first().toInt();
            all << Answer{received.mid(9, 3).toInt(), received.left(end), received.mid(end + 4, size)};
            received.remove(0, end + 4 + size);
        }
        return all;
    }

    static bool whole(const QByteArray& received)
    {
        const qsizetype end = received.indexOf("\r\n\r\n");
        if (end < 0)
            return false;
        const qsizetype length = received.indexOf("Content-Length: ");
        return length >= 0 && received.size() - end - 4 >= received.mid(length + 16, 8).split('\r').first().toInt();
    }

    ModelBoard board;
    Driver::OutletNames names;
    std::optional<Driver::BoardQueue> queue;
    std::optional<BoardHttpServer> http;
    std::optional<BoardApi> api;  // for the local socket, and the events' state
    std::optional<Serve::BoardEvents> events;
    quint16 port = 0;
};
