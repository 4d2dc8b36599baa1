#include "board.h"

#include "commands.h"

std::uint16_t Board::readStatus()
{
    ReplyScanner scanner(ReplyScanner::Kind::Status);
    exchange(Command::StatusQuery, scanner, QStringLiteral("the status query"));
    return *scanner.stateword();
}

std::optional<std::uint16_t> Board::awaitStatus(QDeadlineTimer deadline)
{
    ReplyScanner scanner(ReplyScanner::Kind::Status);
    link_.discardInput();
    do {
        send(Command::StatusQuery);
        if (listen(scanner, QDeadlineTimer(timeoutMs_), QStringLiteral("the status query")))
            return *scanner.stateword();
    } while (!deadline.hasExpired());
    return std::nullopt;
}

void Board::send(const QByteArray& command)
{
    if (!link_.write(command))
        throw writeFailure(command);
}

BoardError Board::writeFailure(const QByteArray& command) const
{
    return BoardError(BoardError::Kind::DeviceFailed,
                      QStringLiteral("writing \"%1\" failed: %2").arg(QString::fromLatin1(command), link_.failure()));
}

BoardError Board::deviceGone(const QString& what) const
{
    return BoardError(BoardError::Kind::DeviceFailed, QStringLiteral("no answer to %1: %2").arg(what, link_.failure()));
}

void Board::enterUpgrade()
{
    ReplyScanner scanner(ReplyScanner::Kind::UpgradeReady);
    exchange(Command::Upgrade, scanner, QStringLiteral("the upgrade command"));
}

void Board::exchange(const QByteArray& command, ReplyScanner& scanner, const QString& what)
{
    // Bytes from before the command are no answer to it. A retry keeps
    // listening on the same stream: a late answer to the first try is as
    // good as an answer to the second.
    link_.discardInput();
    for (int attempt = 0; attempt < Tries; ++attempt) {
        // A device that goes while the command drains is no answer either.
        if (!link_.write(command))
            throw link_.broken() ? deviceGone(what) : writeFailure(command);
        if (listen(scanner, QDeadlineTimer(timeoutMs_), what))
            return;
    }
    throw BoardError(
        BoardError::Kind::Silent,
        QStringLiteral("the board did not answer %1 (%2 tries, %3 ms each)").arg(what).arg(Tries).arg(timeoutMs_));
}

bool Board::listen(ReplyScanner& scanner, QDeadlineTimer deadline, const QString& what)
{
    while (!scanner.found() && !deadline.hasExpired()) {
        scanner.feed(link_.read(deadline));
        if (link_.broken())
            throw deviceGone(what);
    }
    return scanner.found();
}
