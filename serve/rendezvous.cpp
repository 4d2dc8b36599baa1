#include "rendezvous.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>

#include <utility>

Rendezvous::Rendezvous(ServeRendezvous::Server entry) : entry_(std::move(entry)) {}

Rendezvous::~Rendezvous() { withdraw(); }

QString Rendezvous::folder()
{
    // A systemd service's own folder (RuntimeDirectory=tavrin/%i): the first when it names several.
    const QString service = qEnvironmentVariable("RUNTIME_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    if (!service.isEmpty())
        return service;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return runtime.isEmpty() ? QStringLiteral("/run/tavrin") : runtime + QStringLiteral("/tavrin");
}

QString Rendezvous::publish(const QString& device)
{
    const QString dir = folder();
    const QString path = dir + QLatin1Char('/') + ServeRendezvous::fileName(device);
    if (!QDir().mkpath(dir))
        return QStringLiteral("cannot create %1").arg(dir);
    ServeRendezvous::Server entry = entry_;
    entry.device = device;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(entry.toJson()).toJson()) < 0 || !file.commit())
        return QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    // Readable by every user's orvessa; it holds no secret.
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                                    QFileDevice::ReadOther);
    if (!path_.isEmpty() && path_ != path)
        withdraw();
    path_ = path;
    return {};
}

void Rendezvous::withdraw()
{
    if (path_.isEmpty())
        return;
    // Another server may have taken the name since: its file stays.
    if (const auto written = ServeRendezvous::read(path_);
        written && written->pid == QCoreApplication::applicationPid())
        QFile::remove(path_);
    path_.clear();
}
