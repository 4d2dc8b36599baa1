#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <grp.h>
#include <unistd.h>

// Runs this test program again as the unprivileged user nobody, with the given
// environment, for tests of what a user outside the dialout group meets.
// The checkout may lie where nobody cannot enter (a home folder with mode
// 0700, such as /root): then the program is run from a copy in a temporary
// folder that everyone may read.
struct UnprivilegedRun {
    bool started = false;
    int exitCode = -1;
    QByteArray standardOutput;
    QString whyNotStarted;

    explicit UnprivilegedRun(const QProcessEnvironment& environment)
    {
        const QString program = QCoreApplication::applicationFilePath();
        if (tryRun(program, environment))
            return;
        QTemporaryDir copyDir;
        const QString copy = copyEveryoneMayRun(program, copyDir);
        if (copy.isEmpty()) {
            whyNotStarted += QStringLiteral("; no world-readable copy could be made in %1").arg(QDir::tempPath());
            return;
        }
        tryRun(copy, environment);
    }

    // A copy of `program` in `folder` that every user may run, the folder made
    // readable by all; empty when it cannot be made.
    static QString copyEveryoneMayRun(const QString& program, const QTemporaryDir& folder)
    {
        const QString copy = folder.filePath(QFileInfo(program).fileName());
        const auto everyone = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                              QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
        if (!folder.isValid() || !QFile::setPermissions(folder.path(), everyone) || !QFile::copy(program, copy) ||
            !QFile::setPermissions(copy, everyone))
            return {};
        return copy;
    }

private:
    bool tryRun(const QString& program, const QProcessEnvironment& environment)
    {
        QProcess child;
        child.setProcessEnvironment(environment);
        child.setChildProcessModifier([] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(125);
        });
        child.start(program, {});
        if (!child.waitForStarted(20000) || !child.waitForFinished(20000)) {
            if (child.error() == QProcess::FailedToStart) {
                whyNotStarted += QStringLiteral("%1 cannot be run as nobody: %2").arg(program, child.errorString());
                return false;
            }
            whyNotStarted += QStringLiteral("%1 did not finish as nobody: %2").arg(program, child.errorString());
            child.kill();
            return true;  // it ran; a hang is the test's failure, not a reason to retry
        }
        started = true;
        exitCode = child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
        standardOutput = child.readAllStandardOutput();
        return true;
    }
};
