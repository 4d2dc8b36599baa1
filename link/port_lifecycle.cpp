// Opening, switching and closing the port: start-up, the port list, the port
// button and shut-down.
#include "form1.h"

#include "colors.h"
#include "lamp.h"
#include "operation_error.h"
#include "platform_services.h"
#include "port_list_devices.h"
#include "saved_port.h"
#include "serial_component.h"
#include "texts.h"

#include <QComboBox>
#include <QPushButton>
#include <QTimer>

void Form1::startUp()
{
    try {
        labelOutlets();
        setWindowTitle(Texts::WindowCaption);
        for (int i = 0; i < Channels; ++i) {
            Key0[i]->setText(Texts::On);
            Key1[i]->setText(Texts::On);
        }
        for (int port = 1; port <= 4; ++port)
            addPortEntry(QStringLiteral("COM%1").arg(port));

        QString saved = SavedPort::trimSpaces(platform_.getSetting(Texts::SettingsSection, Texts::SettingsKey, {}));
        if (saved.isEmpty())
            saved = QStringLiteral("0");
        const std::int64_t n = savedPortNumber(saved);
        if (n > 0) {
            // Selecting the entry opens the port through the click handler;
            // it is then closed and opened again below with the line settings.
            setListIndex(SavedPort::toInt16(n - 1));
            setPortOpen(false);
            MSComm1.setCommPort(SavedPort::toInt16(n));
        } else {
            setListIndex(0);
            MSComm1.setCommPort(1);
        }

        MSComm1.setSettings(Texts::LineSettings);
        MSComm1.setInputMode(1);
        MSComm1.setRThreshold(1);
        if (!MSComm1.PortOpen())
            setPortOpen(true);

        Timer1->setInterval(LinkWatchdog::FastIntervalMs);
        if (!Timer1->isActive())
            Timer1->start();
        platform_.doEvents();
        platform_.doEvents();
    } catch (...) {
        reportCurrentFailure();
    }
}

std::int64_t Form1::savedPortNumber(const QString& saved) const
{
    try {
        return SavedPort::toNumber(saved);
    } catch (const OperationError& error) {
        // Says where the operator finds the value to correct it.
        const QString file = platform_.settingsLocation();
        if (file.isEmpty())
            throw;
        throw OperationError(
            error.number(), error.source(),
            error.description() +
                QStringLiteral(" ([%1] %2 in %3)").arg(Texts::SettingsSection, Texts::SettingsKey, file));
    }
}

void Form1::Com_Click()
{
    // New adapters get their numbers before or after the port is switched, never in its yields.
    const PortListDevices::Opening opening(*portDevices_);
    try {
        comClickSteps();
    } catch (...) {
        // Whatever failed, start-up goes on after the click handler.
        reportCurrentFailure();
    }
}

void Form1::comClickSteps()
{
    if (MSComm1.PortOpen()) {
        setPortOpen(false);
        platform_.doEvents();
        platform_.doEvents();
        Shape1->setFillColor(Colors::Red);
        MSComm1.setCommPort(static_cast<std::int16_t>(ListIndex() + 1));
        MSComm1.setRThreshold(1);
        setPortOpen(true);
        platform_.doEvents();
        platform_.doEvents();
        Shape1->setFillColor(Colors::Green);
    } else {
        MSComm1.setCommPort(static_cast<std::int16_t>(ListIndex() + 1));
        MSComm1.setRThreshold(1);
        setPortOpen(true);
        platform_.doEvents();
        platform_.doEvents();
        Comopen->setText(Texts::ClosePort);
    }
}

void Form1::setPortOpen(bool open)
{
    portLossReported_ = false;
    MSComm1.setPortOpen(open);
}

void Form1::Comopen_Click()
{
    if (MSComm1.PortOpen()) {
        setPortOpen(false);
        Comopen->setText(Texts::OpenPort);
        Shape1->setFillColor(Colors::Red);
    } else {
        // Reopens the port last configured.
        setPortOpen(true);
        Comopen->setText(Texts::ClosePort);
        Shape1->setFillColor(Colors::Green);
    }
}

void Form1::shutDown()
{
    // The port is closed even when the choice could not be stored; the
    // failure is told afterwards, and the window closes all the same.
    const bool saved =
        platform_.saveSetting(Texts::SettingsSection, Texts::SettingsKey, QString::number(ListIndex() + 1));
    if (MSComm1.PortOpen())
        setPortOpen(false);
    if (!saved)
        throw OperationError(ErrorNumber::SettingsAccess, ErrorSource::App,
                             QStringLiteral("the port choice could not be saved in the settings store"));
}
