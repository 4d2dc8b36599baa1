#pragma once

#include "link_watchdog.h"
#include "reply_assembler.h"

#include <QWidget>

#include <array>
#include <cstdint>

class Frame;
class Lamp;
class OperationError;
class PlatformServices;
class PortListDevices;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class SerialComponent;

// The control panel window. It owns all of the panel's state and handles
// every event; each concern's handlers are defined in their own source file:
//   link/port_lifecycle.cpp       start-up, port list, port button, shut-down
//   link/watchdog_tick.cpp        the poll timer's tick
//   protocol/command_handlers.cpp the command buttons
//   protocol/receive_handler.cpp  received bytes and replies
//   panel/channel_display.cpp     state and state_dis
//   panel/port_list_devices.cpp   the device behind each port list entry
class Form1 final : public QWidget {
    Q_OBJECT
public:
    static constexpr int Channels = 12;

    Form1(SerialComponent& comm, PlatformServices& platform, QWidget* parent = nullptr);
    ~Form1() override;

    // Controls, owned by the window through Qt's parent ownership.
    std::array<Lamp*, 2 * Channels> Lamp0{};
    std::array<QPushButton*, Channels> Key0{};
    std::array<QPushButton*, Channels> Key1{};
    QPushButton* Keyall = nullptr;
    QPushButton* Command1 = nullptr;
    QPushButton* Comopen = nullptr;
    QPushButton* Rstcomm = nullptr;
    QPushButton* Upcomm = nullptr;
    QLabel* Label1 = nullptr;
    Frame* Frame1 = nullptr;
    Frame* Frame2 = nullptr;
    Frame* Frame3 = nullptr;
    QLineEdit* Senddis = nullptr;
    QLineEdit* Rxdis = nullptr;
    QComboBox* Com = nullptr;
    Lamp* Shape1 = nullptr;
    QTimer* Timer1 = nullptr;
    SerialComponent& MSComm1;

    // Start-up: runs once, before the window is first shown.
    void startUp();
    // Shut-down: stores the port choice and closes the port; runs when the window closes.
    void shutDown();
    void Com_Click();
    void Comopen_Click();
    void Key0_Click(int index);
    void Keyall_Click();
    void Command1_Click();
    void Upcomm_Click();
    void Rstcomm_Click();
    void Timer1_Timer();
    void MSComm1_OnComm();

    // Repaints the twelve channels from Stateword.
    void state();
    // Turns one channel into its other look; fails for an index outside 0 to 11.
    void state_dis(std::int16_t index);

    // The selected entry of the port list, -1 for none. Assigning it runs the
    // port list's click handler before it returns.
    std::int16_t ListIndex() const;
    // Appends an entry to the port list without selecting it.
    void addPortEntry(const QString& text);
    void setListIndex(std::int16_t index);

    const ReplyAssembler& replies() const { return assembler_; }
    std::int64_t Ticks() const { return watchdog_.Ticks(); }
    std::int16_t Keystate(int channel) const { return keystate_.at(static_cast<std::size_t>(channel)); }

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void setTabOrderAsDesigned();
    // Accessible names are the captions shown; descriptions say what each
    // control is for (panel/control_descriptions.cpp).
    void describeControlsForAssistiveTechnology();
    // Names of the outlets from the settings, on the channel buttons and lamps.
    void labelOutlets();
    void nameShownPortEntry();
    void wireEvents();
    void watchPortListDevices();
    void comClickSteps();
    // The saved port choice as a number; a value that is none fails with
    // where it is stored.
    std::int64_t savedPortNumber(const QString& saved) const;
    // Opens or closes the port. Either ends the port session whose lost write
    // was already told, so the next tick tells about a closed port again.
    void setPortOpen(bool open);
    void sendCommand(const QByteArray& command, bool echo);
    void paintChannel(int channel, bool set);
    void reportError(const OperationError& error);
    // Inside a catch block: shows the failure being handled as an error report.
    void reportCurrentFailure();
    void onTimer1Timeout();
    void onComActivated();
    // Runs a handler so that no exception reaches the event loop: a failure is
    // shown once as an error report.
    template <typename Handler>
    void guarded(Handler&& handler);

    PlatformServices& platform_;
    PortListDevices* portDevices_ = nullptr;  // owned by the window
    ReplyAssembler assembler_;
    LinkWatchdog watchdog_;
    std::array<std::int16_t, Channels> keystate_{};
    // A command's write failed and closed the port, and its error report has
    // been shown; the next tick stops polling without a second box for it,
    // unless the port has been opened or closed since.
    bool portLossReported_ = false;
    // The link-fault warning is on screen.
    bool linkFaultShown_ = false;
    // Set while the port list's text field finishes an edit, so typed text never
    // counts as a pick.
    bool comTextEditing_ = false;
};
