#pragma once

#include <QByteArray>
#include <QString>

// A token orvessa serve makes for itself when it is given none: random,
// written to a file only this user may read, and removed when the server
// stops, so that this user's browser and tools can use HTTP at once and
// nobody else can.
class OwnToken {
public:
    explicit OwnToken(QString path);
    ~OwnToken();
    OwnToken(const OwnToken&) = delete;
    OwnToken& operator=(const OwnToken&) = delete;

    // Makes the token and writes the file, which must not exist yet; why not, or empty.
    QString write();
    const QByteArray& token() const { return token_; }
    const QString& path() const { return path_; }

private:
    QString path_;
    QByteArray token_;
    bool written_ = false;
};
