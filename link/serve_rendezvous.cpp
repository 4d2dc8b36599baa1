#include "serve_rendezvous.h"

#include "lock_owner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <sys/stat.h>
#include <unistd.h>

namespace ServeRendezvous {

namespace {

constexpr qint64 MaxFileBytes = 16 * 1024;

// The process runs orvessa, or a program whose name cannot be read (another
// user's, such as a service's).
bool runsOrvessa(qint64 pid)
{
    if (!processRunning(pid))
        return false;
    const QString program = processProgram(pid);
    return program.isEmpty() || program.startsWith(QLatin1String("orvessa"));
}

}  // namespace

QJsonObject Server::toJson() const
{
    return QJsonObject{
        {QStringLiteral("url"), url},       {QStringLiteral("token_required"), tokenRequired},
        {QStringLiteral("pid"), pid},       {QStringLiteral("port"), port},
        {QStringLiteral("path"), path},     {QStringLiteral("device"), device},
        {QStringLiteral("socket"), socket}, {QStringLiteral("token_file"), tokenFile},
    };
}

QString Server::describe() const { return QStringLiteral("orvessa serve (process %1) at %2").arg(pid).arg(url); }

QStringList folders()
{
    QStringList result;
    if (const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR"); !runtime.isEmpty())
        result << runtime + QStringLiteral("/tavrin");
    const QString system = QStringLiteral("/run/tavrin");
    result << system;
    for (const QString& instance : QDir(system).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
        result << system + QLatin1Char('/') + instance;
    return result;
}

QString fileName(const QString& device) { return QStringLiteral("serve-%1.json").arg(deviceFileName(device)); }

std::optional<Server> read(const QString& file)
{
    QFile input(file);
    if (!input.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QJsonObject entry = QJsonDocument::fromJson(input.read(MaxFileBytes)).object();
    Server server{entry.value(QStringLiteral("url")).toString(),
                  entry.value(QStringLiteral("token_required")).toBool(),
                  entry.value(QStringLiteral("pid")).toInteger(),
                  entry.value(QStringLiteral("port")).toString(),
                  entry.value(QStringLiteral("path")).toString(),
                  entry.value(QStringLiteral("device")).toString(),
                  entry.value(QStringLiteral("socket")).toString(),
                  entry.value(QStringLiteral("token_file")).toString(),
                  file};
    if (server.pid <= 0 || !server.url.startsWith(QLatin1String("http")))
        return std::nullopt;
    // What the file names beside it is in its own folder, nowhere else.
    const QString folder = QFileInfo(file).absolutePath();
    for (QString* path : {&server.socket, &server.tokenFile})
        if (!path->isEmpty() && QFileInfo(*path).absolutePath() != folder)
            path->clear();
    if (!server.url.endsWith(QLatin1Char('/')))
        server.url += QLatin1Char('/');
    return server;
}

bool trustedFolder(const QString& folder)
{
    // A folder nobody but its owner may write to, and that owner.
    const auto ownerOf = [](const QString& path) -> std::optional<uid_t> {
        struct stat info {};
        if (::lstat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISDIR(info.st_mode) ||
            (info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
            return std::nullopt;
        return info.st_uid;
    };
    const std::optional<uid_t> owner = ownerOf(folder);
    if (!owner)
        return false;
    if (*owner == 0 || *owner == ::geteuid())
        return true;
    // A service's folder: made by root in a folder of root's.
    return ownerOf(QFileInfo(folder).absolutePath()) == uid_t(0);
}

std::optional<Server> find(const QStringList& devices, const QStringList& folders)
{
    for (const QString& folder : folders) {
        if (!trustedFolder(folder))
            continue;
        for (const QString& device : devices)
            if (const std::optional<Server> server = read(folder + QLatin1Char('/') + fileName(device));
                server && runsOrvessa(server->pid))
                return server;
    }
    return std::nullopt;
}

}  // namespace ServeRendezvous
