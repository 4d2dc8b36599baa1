#pragma once

#include "serve_rendezvous.h"

#include <QString>

// The file by which orvessa on the same machine finds the server that holds a
// port (link/serve_rendezvous.h has its name, contents and reading), in
// $RUNTIME_DIRECTORY when systemd sets it (a service with
// RuntimeDirectory=tavrin/NAME), else in $XDG_RUNTIME_DIR/tavrin, else in
// /run/tavrin. It is written when the server starts listening, renamed when
// the port opens as another device, and removed when the server stops.
class Rendezvous {
public:
    // `entry` holds everything but the device.
    explicit Rendezvous(ServeRendezvous::Server entry);
    ~Rendezvous();
    Rendezvous(const Rendezvous&) = delete;
    Rendezvous& operator=(const Rendezvous&) = delete;

    static QString folder();

    // Writes the file for `device`, removing the one for the device before;
    // why it could not be written, or empty.
    QString publish(const QString& device);
    // Removes the file, when it is still this process's.
    void withdraw();

private:
    ServeRendezvous::Server entry_;
    QString path_;  // the file written; empty when none is
};
