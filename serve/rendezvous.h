#pragma once

#include <QJsonObject>
#include <QString>

// How orvessa on the same machine finds the server that holds a port: one
// file per served device, "serve-<device>.json" (the device path without
// "/dev/", '/' as '_', as in a lock file's name), in $RUNTIME_DIRECTORY when
// systemd sets it (a service with RuntimeDirectory=tavrin/NAME), else in
// $XDG_RUNTIME_DIR/tavrin, else in /run/tavrin. It holds
//   {"url": "http://127.0.0.1:8321/", "token_required": false, "pid": 4242,
//    "port": "COM3", "path": "/dev/serial/by-id/...", "device": "/dev/ttyUSB0"}
// and is written when the server starts listening, renamed when the port
// opens as another device, and removed when the server stops. A file whose
// pid is not running is left over from a server that was killed.
class Rendezvous {
public:
    // `entry` holds everything but "device".
    explicit Rendezvous(QJsonObject entry);
    ~Rendezvous();
    Rendezvous(const Rendezvous&) = delete;
    Rendezvous& operator=(const Rendezvous&) = delete;

    static QString folder();
    static QString fileName(const QString& device);

    // Writes the file for `device`, removing the one for the device before;
    // why it could not be written, or empty.
    QString publish(const QString& device);
    // Removes the file, when it is still this process's.
    void withdraw();

private:
    QJsonObject entry_;
    QString path_;  // the file written; empty when none is
};
