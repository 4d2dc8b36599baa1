#include "own_token.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int TokenBytes = 24;

}  // namespace

OwnToken::OwnToken(QString path) : path_(std::move(path)) {}

OwnToken::~OwnToken()
{
    if (written_)
        QFile::remove(path_);
}

QString OwnToken::write()
{
    QByteArray random(TokenBytes, Qt::Uninitialized);
    QRandomGenerator::system()->generate(random.begin(), random.end());
    token_ = random.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    // Created readable by this user alone, never readable by anyone else for a moment.
    const int fd = ::open(QFile::encodeName(path_).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return QStringLiteral("cannot write the token to %1: %2")
            .arg(path_, QString::fromLocal8Bit(std::strerror(errno)));
    written_ = true;
    const QByteArray line = token_ + '\n';
    const bool complete = ::write(fd, line.constData(), size_t(line.size())) == line.size();
    ::close(fd);
    if (!complete)
        return QStringLiteral("cannot write the token to %1").arg(path_);
    return {};
}
