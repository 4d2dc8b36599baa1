#include "serve_rendezvous.h"

#include "lock_owner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

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
        {QStringLiteral("url"), url},   {QStringLiteral("token_required"), tokenRequired},
        {QStringLiteral("pid"), pid},   {QStringLiteral("port"), port},
        {QStringLiteral("path"), path}, {QStringLiteral("device"), device},
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
                  file};
    if (server.pid <= 0 || !server.url.startsWith(QLatin1String("http")))
        return std::nullopt;
    if (!server.url.endsWith(QLatin1Char('/')))
        server.url += QLatin1Char('/');
    return server;
}

std::optional<Server> find(const QStringList& devices, const QStringList& folders)
{
    for (const QString& folder : folders)
        for (const QString& device : devices)
            if (const std::optional<Server> server = read(folder + QLatin1Char('/') + fileName(device));
                server && runsOrvessa(server->pid))
                return server;
    return std::nullopt;
}

}  // namespace ServeRendezvous
