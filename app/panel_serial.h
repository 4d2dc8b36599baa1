#pragma once

#include "serial_component.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <memory>
#include <optional>

class QWidget;

// What the command line asks of the panel: its own ports (the default), or
// the board a server serves (--server URL, with --token-file FILE).
struct PanelTarget {
    std::optional<QUrl> server;
    QByteArray token;  // from --token-file; empty: none
};

// Reads --server and --token-file; prints what is wrong and exits with status
// 2 for a value the panel cannot use.
PanelTarget parsePanelArguments(const QStringList& arguments);

// The token a server asked for with the dialog, for the rest of the session:
// asked once, never stored.
struct SessionToken {
    QString token;
    bool asked = false;
};

// The serial component for `target`: the served one for --server, else the
// ports of this machine, reached through orvessa serve when one holds the
// device.
std::unique_ptr<SerialComponent> makePanelSerial(const PanelTarget& target, SessionToken& token);

// Puts the server the panel drives in the window's title: for --server at
// once, for a port held by a server while it is reached through it. Call
// after start-up, which sets the title.
void showServerInTitle(SerialComponent& serial, QWidget& window);

// "TavrinV1.3prj — orvessa serve at http://host:8321/"
QString servedTitle(const QString& server);
