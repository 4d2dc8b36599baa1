#pragma once

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>

// The lab tools' lines of README.md (TAVRIN_README), as the tests run them.

// The adapter the README's lines name; the tests make it a link to the simulator.
inline const QString kReadmeAdapter = QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3-if00-port0");

// The fenced code blocks of the README in the given language.
inline QStringList codeBlocks(const QString& language)
{
    QFile readme(QStringLiteral(TAVRIN_README));
    if (!readme.open(QIODevice::ReadOnly))
        return {};
    const QString text = QString::fromUtf8(readme.readAll());
    const QRegularExpression fence("^```" + language + "\\n(.*?)^```$",
                                   QRegularExpression::MultilineOption |
                                       QRegularExpression::DotMatchesEverythingOption);
    QStringList blocks;
    for (auto it = fence.globalMatch(text); it.hasNext();)
        blocks << it.next().captured(1);
    return blocks;
}

// The README's pdudaemon.conf: the first JSON block with a localcmdline PDU,
// with the PDUs of the README's later blocks added (its variants).
inline QJsonObject pduDaemonConf()
{
    QJsonObject result;
    for (const QString& block : codeBlocks("json")) {
        const QJsonObject conf = QJsonDocument::fromJson(block.toUtf8()).object();
        const QJsonObject pdus = conf.value("pdus").toObject();
        if (result.isEmpty()) {
            for (const QJsonValue& pdu : pdus)
                if (pdu.toObject().value("driver").toString() == "localcmdline")
                    result = conf;
            continue;
        }
        QJsonObject all = result.value("pdus").toObject();
        for (auto it = pdus.begin(); it != pdus.end(); ++it)
            all.insert(it.key(), it.value());
        result.insert("pdus", all);
    }
    return result;
}

// The server and token file the README's lines for a server run by hand name.
inline const QString kReadmeServer = QStringLiteral("http://127.0.0.1:8321/");
inline const QString kReadmeTokenFile = QStringLiteral("/etc/pdudaemon/orvessa.token");

// The localcmdline PDU of the README's pdudaemon.conf.
inline QJsonObject pduDaemonEntry()
{
    for (const QJsonValue& pdu : pduDaemonConf().value("pdus").toObject())
        if (pdu.toObject().value("driver").toString() == "localcmdline")
            return pdu.toObject();
    return {};
}
