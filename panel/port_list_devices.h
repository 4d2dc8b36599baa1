#pragma once

#include <QObject>

class PlatformServices;
class QComboBox;
class SerialComponent;
class QWidget;

// Tells which device stands behind each entry of the port list: the entry's
// tooltip carries it, and the list's accessible description names the device
// of the entry shown. New adapters get their COM numbers (through the serial
// component) shortly after the window first paints, so start-up does not wait
// for the listing of devices, and each time the list drops down. Never while
// a port is being opened: a refresh that falls due then waits for the opening
// to end.
class PortListDevices final : public QObject {
    Q_OBJECT
public:
    PortListDevices(QWidget& window, QComboBox& list, SerialComponent& serial, PlatformServices& platform);

    // Held while the port list's click handler opens a port.
    class Opening {
    public:
        explicit Opening(PortListDevices& devices);
        ~Opening();
        Opening(const Opening&) = delete;
        Opening& operator=(const Opening&) = delete;

    private:
        PortListDevices& devices_;
    };

    // Numbers new devices, then shows the device of every entry.
    void refresh();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void showDevices();
    void describeShownEntry();

    QWidget& window_;
    QComboBox& list_;
    SerialComponent& serial_;
    PlatformServices& platform_;
    QObject* popup_ = nullptr;  // the list's drop-down view, watched from the first refresh on
    int openings_ = 0;
    bool refreshWaiting_ = false;
    bool shown_ = false;
};
