#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

// How a running `orvessa serve` tells the programs on its machine that it
// holds a device: one file per served device, "serve-<device>.json" (the
// device path without "/dev/", '/' as '_', as in a lock file's name),
// written by the server (serve/rendezvous.h) and read here by orvessa, to go
// through the server, and by the description of a busy port, to tell a
// server from a one-shot command. It holds
//   {"url": "http://127.0.0.1:8321/", "token_required": true, "pid": 4242,
//    "port": "COM3", "path": "/dev/serial/by-id/...", "device": "/dev/ttyUSB0",
//    "socket": "/run/user/1000/tavrin/serve-4242.sock",
//    "token_file": "/run/user/1000/tavrin/serve-4242.token"}
// A file whose process has ended, or runs another program now, is left over
// from a server that was killed. Only files in folders that no one but their
// owner (this user, or root) can write to are read: a file anyone could have
// put there names no server.
namespace ServeRendezvous {

struct Server {
    QString url;  // where clients on this machine reach it, ending in '/'
    bool tokenRequired = false;
    qint64 pid = 0;
    QString port;       // as the server was given it: "COM3" or a path
    QString path;       // the path the port is mapped to
    QString device;     // the device opened, or the path while none is
    QString socket;     // the local socket, in the same folder as the file; empty for none
    QString tokenFile;  // the token the server made, readable by its user only; empty for none
    QString file;       // the file it was read from; not written

    QJsonObject toJson() const;
    // "orvessa serve (process 4242) at http://127.0.0.1:8321/"
    QString describe() const;
};

// The folders looked in, in order: $XDG_RUNTIME_DIR/tavrin, /run/tavrin, and
// each direct subfolder of /run/tavrin (a service instance's
// RuntimeDirectory=tavrin/%i).
QStringList folders();

QString fileName(const QString& device);

// The server a file names, whether or not it still runs; nothing for a file
// that cannot be read or names no process and URL. A socket or token file
// outside the file's folder is dropped.
std::optional<Server> read(const QString& file);

// Whether files in `folder` can be trusted to be a server's: the folder is
// this user's or root's and no one else may write to it, or it was made by
// root in such a folder (a service's runtime folder in /run/tavrin).
bool trustedFolder(const QString& folder);

// The first running server found for any of `devices` (device paths), in the
// order of `folders`, in trusted folders only.
std::optional<Server> find(const QStringList& devices, const QStringList& folders = ServeRendezvous::folders());

}  // namespace ServeRendezvous
