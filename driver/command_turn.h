#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>

#include <utility>

class StopSignals;

// The turn among orvessa commands on one device: the command that holds it
// may open the device, and hands it on to the command that has waited longest
// once the device is closed again.
//
// The turn is a listening Unix socket in Linux's abstract namespace, named
// after the device. The kernel frees the name when its last holder ends,
// however it ends, so nothing is ever left behind. A command that finds the
// name taken connects to it and sleeps until the holder passes it the
// listening socket itself over that connection: the connections still queued
// on the socket then wait for the new holder, in the order they came. A
// long-running owner of a device (a server) would bind the same name and
// answer every connection with a byte 'S': its device is reached through it,
// not waited for. Any local user may bind the name, and the listening socket
// passes from process to process, so who holds it cannot be told; a holder
// that leaves the device free is passed over (TurnHolderWatch).
class CommandTurn {
public:
    enum class Outcome {
        Taken,        // this command has the turn (or turns are unavailable here, or its holder leaves the device free)
        Served,       // a long-running owner holds the device
        Expired,      // the deadline passed first
        Interrupted,  // SIGINT or SIGTERM came first
    };
    struct Taking {
        Outcome outcome = Outcome::Taken;
        bool waited = false;  // another command had the turn when this one asked
        QString signal;       // Interrupted: "SIGINT" or "SIGTERM"
    };

    CommandTurn() = default;
    ~CommandTurn() { release(); }
    CommandTurn(CommandTurn&& other) noexcept : socket_(std::exchange(other.socket_, -1)) {}
    CommandTurn& operator=(CommandTurn&& other) noexcept
    {
        if (this != &other) {
            release();
            socket_ = std::exchange(other.socket_, -1);
        }
        return *this;
    }

    // Waits for the turn on `device` (a real device path) until `deadline`,
    // sleeping in poll() alongside `stopSignals`.
    Taking take(const QString& device, QDeadlineTimer deadline, StopSignals& stopSignals);

    // Hands the turn to the longest-waiting command, else gives it up.
    void release();

    // The abstract socket name of the turn on `device`.
    static QByteArray nameFor(const QString& device);

private:
    int socket_ = -1;
};
