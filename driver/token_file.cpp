#include "token_file.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace Driver {

namespace {

constexpr qint64 MaxTokenBytes = 4096;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The text without the spaces, tabs and line ends around it: an editor's line
// end, CRLF or a stray space is not part of the token, as the server trims
// the header it compares the token with.
QByteArray withoutBlanksAround(const QByteArray& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text.at(begin)))
        ++begin;
    while (end > begin && isBlank(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

// What in `token` an HTTP header cannot carry as a Bearer token (anything but
// printable ASCII), as a refusal names it; empty when nothing.
QString unsendable(const QByteArray& token)
{
    for (const char c : token) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == ' ' || c == '\t')
            return QStringLiteral("a space or tab inside its token");
        if (byte < 0x20 || byte == 0x7f)
            return QStringLiteral("a control character in its token");
        if (byte > 0x7f)
            return QStringLiteral("a character that is not ASCII in its token");
    }
    return {};
}

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
    const QByteArray text = file.read(MaxTokenBytes + 1);
    if (text.size() > MaxTokenBytes)
        return QStringLiteral("the token file '%1' is longer than %2 bytes: it must hold one line, the token")
            .arg(path)
            .arg(MaxTokenBytes);
    const QByteArray token = withoutBlanksAround(text);
    if (token.isEmpty())
        return QStringLiteral("the token file '%1' holds no token").arg(path);
    if (token.contains('\n'))
        return QStringLiteral("the token file '%1' holds more than one line: it must hold one line, the token")
            .arg(path);
    if (const QString what = unsendable(token); !what.isEmpty())
        return QStringLiteral("the token file '%1' holds %2: clients send the token in an HTTP header, which "
                              "carries printable ASCII characters only, without spaces")
            .arg(path, what);
    return token;
}

}  // namespace Driver
