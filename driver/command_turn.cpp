#include "command_turn.h"

#include "stop_signals.h"
#include "turn_holder_watch.h"

#include <QCryptographicHash>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <utility>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr char HandOver = 'T';      // holder to waiter, with the listening socket
constexpr char Received = 'A';      // waiter to holder: the turn arrived
constexpr char Served = 'S';        // a long-running owner to a waiter
constexpr int ReceiptMs = 1000;     // how long a holder waits to hear that the turn arrived
constexpr int NotListeningMs = 10;  // before connecting again to a name bound but not yet listening

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int take() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

int streamSocket() { return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0); }

struct Address {
    sockaddr_un un{};
    socklen_t length = 0;
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&un); }
};

Address addressOf(const QByteArray& name)
{
    Address address;
    address.un.sun_family = AF_UNIX;
    // sun_path[0] stays '\0': a name in the abstract namespace.
    std::memcpy(address.un.sun_path + 1, name.constData(), std::size_t(name.size()));
    address.length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + std::size_t(name.size()));
    return address;
}

// One byte with a file descriptor (or none) on a Unix socket.
struct Message {
    char byte = 0;
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr header{};

    Message()
    {
        header.msg_iov = &data;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof(control);
    }
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;

    void attach(int fd)
    {
        cmsghdr* rights = CMSG_FIRSTHDR(&header);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(rights), &fd, sizeof(int));
    }

    // The descriptor received with the byte, or -1.
    int attached()
    {
        for (cmsghdr* part = CMSG_FIRSTHDR(&header); part; part = CMSG_NXTHDR(&header, part)) {
            if (part->cmsg_level != SOL_SOCKET || part->cmsg_type != SCM_RIGHTS ||
                part->cmsg_len != CMSG_LEN(sizeof(int)))
                continue;
            int fd = -1;
            std::memcpy(&fd, CMSG_DATA(part), sizeof(int));
            return fd;
        }
        return -1;
    }
};

// Passes the turn over a waiter's connection. True once it arrived, or when
// the waiter keeps it without saying so: only a waiter that is gone (its
// end closed unread) leaves the turn with this holder.
bool handOver(int connection, int turn)
{
    Message message;
    message.byte = HandOver;
    message.attach(turn);
    if (::sendmsg(connection, &message.header, MSG_NOSIGNAL) != 1)
        return false;
    const QDeadlineTimer deadline(ReceiptMs);
    pollfd receipt{connection, POLLIN, 0};
    while (true) {
        const int ready = ::poll(&receipt, 1, int(deadline.remainingTime()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return true;  // a waiter that does not answer has it in its queue
        char answer = 0;
        return ::recv(connection, &answer, 1, MSG_DONTWAIT) == 1 && answer == Received;
    }
}

struct Answer {
    enum class Kind { Turn, Served, Gone, Expired, Interrupted, HolderIdle };
    Kind kind = Kind::Gone;
    int turn = -1;   // Turn: the listening socket
    QString signal;  // Interrupted
};

// How long to sleep before the next look at the device's lock.
int untilNextLook(QDeadlineTimer deadline)
{
    const qint64 left = deadline.remainingTime();  // -1: no deadline
    return int(left < 0 ? TurnHolderWatch::LookEveryMs : std::min<qint64>(left, TurnHolderWatch::LookEveryMs));
}

// Sleeps until the holder at the other end of `connection` answers or goes,
// or `watch` finds that it does not use the device.
Answer awaitAnswer(int connection, QDeadlineTimer deadline, StopSignals& stopSignals, TurnHolderWatch& watch)
{
    while (true) {
        if (const std::optional<QString> signal = stopSignals.wait(untilNextLook(deadline), connection))
            return {Answer::Kind::Interrupted, -1, *signal};
        Message message;
        const ssize_t got = ::recvmsg(connection, &message.header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (deadline.hasExpired())
                return {Answer::Kind::Expired, -1, {}};
            if (watch.passOver())
                return {Answer::Kind::HolderIdle, -1, {}};
            continue;
        }
        const int turn = message.attached();
        if (got == 1 && message.byte == HandOver && turn >= 0) {
            const char receipt = Received;
            ::send(connection, &receipt, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            return {Answer::Kind::Turn, turn, {}};
        }
        if (turn >= 0)
            ::close(turn);
        if (got == 1 && message.byte == Served)
            return {Answer::Kind::Served, -1, {}};
        return {Answer::Kind::Gone, -1, {}};  // the holder ended without handing on
    }
}

}  // namespace

CommandTurn::Taking CommandTurn::take(const QString& device, QDeadlineTimer deadline, StopSignals& stopSignals)
{
    release();
    const Address address = addressOf(nameFor(device));
    TurnHolderWatch watch(device);
    Taking taking;
    while (true) {
        Descriptor listener(streamSocket());
        if (listener.get() < 0)
            return taking;  // no sockets: the device's lock alone decides
        if (::bind(listener.get(), address.get(), address.length) == 0) {
            if (::listen(listener.get(), SOMAXCONN) == 0)
                socket_ = listener.take();
            return taking;
        }
        if (errno != EADDRINUSE)
            return taking;
        taking.waited = true;
        Descriptor connection(streamSocket());
        if (connection.get() < 0)
            return taking;
        Answer answer;
        if (::connect(connection.get(), address.get(), address.length) == 0) {
            answer = awaitAnswer(connection.get(), deadline, stopSignals, watch);
        } else if (const std::optional<QString> signal = stopSignals.wait(NotListeningMs)) {
            answer = {Answer::Kind::Interrupted, -1, *signal};
        } else if (watch.passOver()) {
            answer = {Answer::Kind::HolderIdle, -1, {}};  // a name bound that never listens
        }
        switch (answer.kind) {
        case Answer::Kind::Turn:
            socket_ = answer.turn;
            return taking;
        case Answer::Kind::Served:
            taking.outcome = Outcome::Served;
            return taking;
        case Answer::Kind::Expired:
            taking.outcome = Outcome::Expired;
            return taking;
        case Answer::Kind::Interrupted:
            taking.outcome = Outcome::Interrupted;
            taking.signal = answer.signal;
            return taking;
        case Answer::Kind::HolderIdle:
            return taking;  // without the turn: the device's lock alone decides
        case Answer::Kind::Gone:
            if (deadline.hasExpired()) {
                taking.outcome = Outcome::Expired;
                return taking;
            }
            break;  // the name may be free now: bind again
        }
    }
}

void CommandTurn::release()
{
    if (socket_ < 0)
        return;
    while (true) {
        const int connection = ::accept4(socket_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0 && (errno == EINTR || errno == ECONNABORTED))
            continue;
        if (connection < 0)
            break;  // nobody waits
        const bool handedOver = handOver(connection, socket_);
        ::close(connection);
        if (handedOver)
            break;
    }
    ::close(socket_);
    socket_ = -1;
}

QByteArray CommandTurn::nameFor(const QString& device)
{
    constexpr qsizetype Room = sizeof(sockaddr_un::sun_path) - 1;
    const QByteArray path = QFile::encodeName(device);
    QByteArray name = "tavrin-orvessa-" + path;
    if (name.size() > Room)
        name = "tavrin-orvessa-sha1-" + QCryptographicHash::hash(path, QCryptographicHash::Sha1).toHex();
    return name;
}
