#pragma once

#include "serve_options.h"
#include "verb.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

// orvessa's command line: options, the verb and its outlets as given.
namespace Cli {

struct Invocation {
    bool help = false;
    bool version = false;
    bool json = false;
    std::optional<QString> port;  // --port as given; none: the panel's saved choice
    int timeoutMs = 500;
    Driver::Verb verb = Driver::Verb::Status;
    QStringList outlets;  // numbers or names, not yet resolved
    int offTimeMs = 5000;
    std::optional<QStringList> exec;   // upgrade --exec COMMAND, split into words
    std::optional<int> waitMs;         // --wait as given; none: the default, for orvessa holders only
    Serve::ServeOptions serve;         // serve: --listen, --token-file, --allow-host, --poll
    std::optional<QString> server;     // --server URL as given, checked
    std::optional<QString> tokenFile;  // --token-file, for serve or for going through a server
};

struct UsageError {
    QString message;
    bool json = false;  // --json was given, so the error is told as JSON too
};

// `args` as QCoreApplication::arguments() gives them, the program first.
// Checks everything that needs neither the settings nor the port.
std::variant<Invocation, UsageError> parseArguments(const QStringList& args);

QString helpText();

}  // namespace Cli
