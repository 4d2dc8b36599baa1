#pragma once

#include "device_listing.h"
#include "operation_error.h"

#include <QList>
#include <QString>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

class QSettings;

// What stands behind COM1 to COM4. Port n is, in this order:
//   1. the device named by the environment variable TAVRIN_COM<n>;
//   2. the device named by COM<n> in the settings group "Ports" (the
//      operator's own mapping, or one recorded by the automatic assignment);
//   3. an automatic assignment of this run that the store could not keep;
//   4. the platform's default, /dev/ttyS<n-1> (COM<n> on Windows).
// The automatic assignment lists the devices present: an on-board port
// /dev/ttyS<k> keeps COM<k+1>; every other device that no mapping reaches
// takes the lowest COM number that nothing holds, written to "Ports" under the
// device's stable path, so an adapter keeps its number when it is plugged in
// again under another /dev name. It never overwrites a mapping.
//
// No widget and no open port needed: the panel and the command line share it.
class PortMap {
public:
    static constexpr std::int16_t FirstPort = 1;
    static constexpr std::int16_t LastPort = 4;

    enum class Source { Environment, Settings, Assignment, Default };
    struct Mapping {
        QString path;
        Source source = Source::Default;
    };
    struct Assignment {
        std::int16_t port = 0;
        QString path;
        friend bool operator==(const Assignment&, const Assignment&) = default;
    };
    struct PresentDevice {
        SerialDevice device;
        QString stablePath;
        std::int16_t port = 0;  // 0: no COM number
    };

    // The map keeps references to both; they must outlive it.
    PortMap(QSettings& settings, const DeviceListing& listing);

    // Where port n's device comes from as things stand: lists nothing, assigns nothing.
    Mapping mapping(std::int16_t port) const;
    // The device path of port n. When nothing maps port n and this map has
    // not assigned yet, the automatic assignment runs first.
    QString resolve(std::int16_t port);

    // Lists the devices present and gives each new one a COM number; returns
    // the numbers given. The settings are read afresh first, so a mapping
    // written meanwhile by another program or by hand is kept.
    QList<Assignment> assignNewDevices();
    // The failure to store an assignment, once; later calls return nothing.
    // The assignment holds for the life of the map all the same.
    std::optional<OperationError> takeStoreError();

    // The devices present, listed afresh, with their COM numbers, in the
    // order of their system locations.
    QList<PresentDevice> presentDevices();
    // "COM2: FT232R USB UART, serial A10K3 (/dev/ttyUSB0)" or
    // "COM3: no device (/dev/ttyS2)", from the last listing (lists if none yet).
    QString describe(std::int16_t port) const;

    // The file that holds the "Ports" group.
    QString settingsFile() const;

    static QString portName(std::int16_t port);             // "COM2"
    static QString environmentVariable(std::int16_t port);  // "TAVRIN_COM2"
    static QString settingsKey(std::int16_t port);          // "Ports/COM2"
    static QString platformDefault(std::int16_t port);      // "/dev/ttyS1"
    // The device a path names, symbolic links resolved, so that one device has
    // one lock whatever name it is opened by; a name without a folder is in
    // /dev. A path that does not exist is returned as it is.
    static QString realDevice(const QString& path);
    // "COM2 (/dev/ttyUSB0)", or "COM2 (/dev/serial/by-id/usb-… → /dev/ttyUSB0)" for a link.
    static QString portLabel(std::int16_t port, const QString& path);
    // The same, for a path whose real device is known already.
    static QString portLabel(std::int16_t port, const QString& path, const QString& real);
    // The name a device is assigned under: its by-id link if no other device
    // present shares it, else its by-path link likewise, else its system location.
    static QString stablePath(const SerialDevice& device, const QList<SerialDevice>& present);
    // "FT232R USB UART, serial A10K3 (/dev/ttyUSB0)".
    static QString deviceText(const SerialDevice& device);

private:
    // A mapping with the device it names, links resolved.
    struct Resolved {
        Mapping mapping;
        QString real;
    };
    using ResolvedPorts = std::array<Resolved, LastPort + 1>;  // by port number
    // The mapping of every port, as things stand.
    ResolvedPorts resolvedPorts() const;
    const QList<SerialDevice>& listed() const;
    void relist();

    QSettings& settings_;
    const DeviceListing& listing_;
    mutable std::optional<QList<SerialDevice>> listed_;
    std::array<QString, LastPort + 1> assigned_;  // by port number; empty: none
    bool assignedOnce_ = false;
    bool storeFailed_ = false;
    std::optional<OperationError> storeError_;
};

// The panel's own settings store (organisation "Tavrin", application
// "TavrinV1.3prj"), whose "Ports" group every program on the port map shares.
std::unique_ptr<QSettings> openPanelSettings();
