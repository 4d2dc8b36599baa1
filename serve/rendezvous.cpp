#include "rendezvous.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>

#include <utility>

namespace {

QString pidKey() { return QStringLiteral("pid"); }

}  // namespace

Rendezvous::Rendezvous(QJsonObject entry) : entry_(std::move(entry)) {}

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

QString Rendezvous::fileName(const QString& device)
{
    QString name = device;
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, 5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QStringLiteral("serve-%1.json").arg(name);
}

QString Rendezvous::publish(const QString& device)
{
    const QString dir = folder();
    const QString path = dir + QLatin1Char('/') + fileName(device);
    if (!QDir().mkpath(dir))
        return QStringLiteral("cannot create %1").arg(dir);
    QJsonObject entry = entry_;
    entry.insert(QStringLiteral("device"), device);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(entry).toJson()) < 0 || !file.commit())
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
    QFile file(path_);
    // Another server may have taken the name since: its file stays.
    if (file.open(QIODevice::ReadOnly) &&
        QJsonDocument::fromJson(file.readAll()).object().value(pidKey()).toInteger() ==
            QCoreApplication::applicationPid()) {
        file.close();
        file.remove();
    }
    path_.clear();
}
