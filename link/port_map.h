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

// What stands behind each COM number. Port n is, in this order:
//   1. the path named by the environment variable TAVRIN_COM<n>;
//   2. the path named by COM<n> in the settings group "Ports" (the
//      operator's own mapping, or one recorded for a new device);
//   3. a number this program gave a new device that the file could not keep;
//   4. the platform's default, /dev/ttyS<n-1> (COM<n> on Windows).
// New devices: an on-board port /dev/ttyS<k> keeps COM<k+1>; every other
// device that no mapping reaches takes the lowest COM number from 1 to 4 that
// nothing holds, recorded in "Ports" under the device's stable path, so an
// adapter keeps its number when it comes back under another /dev name.
//
// Three names for a device, kept apart throughout: the mapped path (what a
// mapping says, perhaps a link or a bare name), the real device (that path
// with links resolved: what is opened and locked) and a listed device (an
// entry of the system's listing).
//
// The file is the truth: every question reads it afresh when another program
// or a person changed it, and recording takes a lock on it, rereads it and
// never replaces a key that is there. No widget and no open port needed: the
// panel and the command line share it.
class PortMap {
public:
    static constexpr std::int16_t FirstPort = 1;
    static constexpr std::int16_t LastPort = 4;

    enum class Source { Environment, Settings, Assignment, Default };
    struct Mapping {
        QString path;  // the mapped path
        Source source = Source::Default;
    };
    struct Assignment {
        std::int16_t port = 0;
        QString path;
        friend bool operator==(const Assignment&, const Assignment&) = default;
    };
    struct PresentDevice {
        ListedDevice device;
        QString stablePath;
        std::int16_t port = 0;  // 0: no COM number
    };

    // The map keeps references to both; they must outlive it.
    PortMap(QSettings& settings, const DeviceListing& listing);

    // Where port n's mapped path comes from as things stand: lists nothing,
    // records nothing.
    Mapping mapping(std::int16_t port) const;
    // The mapped path of port n. When nothing maps port n and this map has
    // not recorded yet, new devices are numbered and recorded first.
    QString pathRecordingNewDevices(std::int16_t port);
    // COM1 to COM4, then every further COM<n> mapped by the environment or
    // the settings, in order.
    QList<std::int16_t> mappedPorts() const;

    // Lists the devices present, gives each new one a COM number and records
    // it in the settings file; returns the numbers given.
    QList<Assignment> recordNewDevices();
    // The failure to record new numbers, once; later calls return nothing.
    // The numbers hold for the life of the map all the same.
    std::optional<OperationError> takeStoreError();

    // The devices present, listed afresh, with their COM numbers, in the
    // order of their system locations.
    QList<PresentDevice> presentDevices();
    // The listed device port n reaches, from the last listing (lists if none yet).
    std::optional<ListedDevice> listedDeviceOf(std::int16_t port) const;

    // The file that holds the "Ports" group.
    QString settingsFile() const;

    static QString portName(std::int16_t port);             // "COM2"
    static QString environmentVariable(std::int16_t port);  // "TAVRIN_COM2"
    static QString settingsKey(std::int16_t port);          // "Ports/COM2"
    static QString platformDefault(std::int16_t port);      // "/dev/ttyS1"
    // The real device a mapped path names, symbolic links resolved, so that
    // one device has one lock whatever name it is opened by; a path that is
    // not absolute is in /dev, as QSerialPort reads it. A path that does not exist is returned as it is, or
    // in /dev for a bare name.
    static QString realDevice(const QString& mappedPath);
    // The name a new device is recorded under. An adapter with a serial
    // number: its by-id link. One without: its by-path link (its USB socket),
    // as udev points the by-id link of identical adapters at either of them.
    // Else, or when another device present shares the name, the system location.
    static QString stablePath(const ListedDevice& device, const QList<ListedDevice>& present);

private:
    // A mapping with the real device it names.
    struct Resolved {
        Mapping mapping;
        QString real;
    };
    using ResolvedPorts = std::array<Resolved, LastPort + 1>;  // by port number
    // The environment's or the file's mapping of port n; empty when neither maps it.
    Mapping explicitMapping(std::int16_t port) const;
    // Whether this program's own number for a device still stands: the file
    // neither maps the port nor reaches the device through another port.
    bool assignmentStands(std::int16_t port) const;
    ResolvedPorts resolvedPorts() const;
    QList<Assignment> numberNewDevices(const QList<ListedDevice>& devices);
    void recordInFile(const QList<Assignment>& made);
    // Whether the settings file, as read back, holds every number made.
    bool fileHolds(const QList<Assignment>& made) const;
    void storeFailed(const QString& why);
    const QList<ListedDevice>& listed() const;
    void relist();

    QSettings& settings_;
    const DeviceListing& listing_;
    mutable std::optional<QList<ListedDevice>> listed_;
    std::array<QString, LastPort + 1> assigned_;  // by port number; empty: none
    bool recordedOnce_ = false;
    bool storeFailedOnce_ = false;
    std::optional<OperationError> storeError_;
};

// The panel's own settings store (organisation "Tavrin", application
// "TavrinV1.3prj"), whose "Ports" group every program on the port map shares.
std::unique_ptr<QSettings> openPanelSettings();
