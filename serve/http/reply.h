#pragma once

#include "exit_status.h"
#include "page_files.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>

// An answer of orvessa serve before it is written: the plain 1 or 0, or JSON.
namespace Http {

struct Reply {
    int status = 200;
    QByteArray contentType;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;  // besides Content-Type and Content-Length
    QString outcome;                               // for the log: "on", "ok", or the error
};

// "1" or "0" as text/plain, nothing else.
Reply plainState(bool on);
Reply json(int status, const QJsonObject& object, const QString& outcome);
// {"error": message, "status": orvessa's exit status for it}, as orvessa --json has it.
Reply error(int status, const QString& message, ExitStatus exitStatus = ExitStatus::Usage);
Reply error(int status, const QJsonObject& errorObject);
// Text from a client, fit for one log line: printable ASCII, at most 120 characters.
QString loggable(const QByteArray& bytes);
// One of the page's files, allowed to load nothing but from this server and
// to be framed by no other page.
Reply page(const PageFile& file);

}  // namespace Http
