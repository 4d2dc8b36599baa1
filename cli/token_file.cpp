#include "token_file.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace Cli {

namespace {

constexpr qint64 MaxTokenBytes = 4096;

}  // namespace

std::variant<QByteArray, QString> readTokenFile(const QString& path)
{
    struct stat status = {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return QStringLiteral("the token file '%1' cannot be read: %2")
            .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    if (!S_ISREG(status.st_mode))
        return QStringLiteral("the token file '%1' is not a regular file").arg(path);
    if ((status.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) != 0)
        return QStringLiteral("Permissions %1 for '%2' are too open. It is required that the token file is not "
                              "accessible by group or others (chmod 600 '%2').")
            .arg(QString::number(status.st_mode & 07777, 8).rightJustified(4, u'0'), path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("the token file '%1' cannot be read: %2").arg(path, file.errorString());
    QByteArray text = file.read(MaxTokenBytes + 1);
    if (text.size() > MaxTokenBytes)
        return QStringLiteral("the token file '%1' is longer than %2 bytes: it must hold one line, the token")
            .arg(path)
            .arg(MaxTokenBytes);
    if (text.endsWith('\n'))
        text.chop(text.endsWith("\r\n") ? 2 : 1);
    if (text.contains('\n'))
        return QStringLiteral("the token file '%1' holds more than one line: it must hold one line, the token")
            .arg(path);
    if (text.trimmed().isEmpty())
        return QStringLiteral("the token file '%1' holds no token").arg(path);
    return text;
}

}  // namespace Cli
