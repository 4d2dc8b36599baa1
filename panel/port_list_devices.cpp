#include "port_list_devices.h"

#include "form1.h"
#include "operation_error.h"
#include "platform_services.h"
#include "serial_component.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QEvent>
#include <QTimer>

namespace {
// The first frame reaches the screen before the devices are listed: a listing
// reads every tty of the system, and the display server draws meanwhile.
constexpr int ListAfterFirstPaintMs = 200;
}  // namespace

void Form1::watchPortListDevices() { portDevices_ = new PortListDevices(*this, *Com, MSComm1, platform_); }

PortListDevices::PortListDevices(QWidget& window, QComboBox& list, SerialComponent& serial, PlatformServices& platform)
    : QObject(&window), window_(window), list_(list), serial_(serial), platform_(platform)
{
    window_.installEventFilter(this);
    connect(&list_, &QComboBox::currentIndexChanged, this, &PortListDevices::describeShownEntry);
}

PortListDevices::Opening::Opening(PortListDevices& devices) : devices_(devices) { ++devices_.openings_; }

PortListDevices::Opening::~Opening()
{
    if (--devices_.openings_ == 0 && devices_.refreshWaiting_) {
        devices_.refreshWaiting_ = false;
        QTimer::singleShot(0, &devices_, &PortListDevices::refresh);
    }
}

bool PortListDevices::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == &window_ && event->type() == QEvent::Paint) {
        window_.removeEventFilter(this);
        QTimer::singleShot(ListAfterFirstPaintMs, this, &PortListDevices::refresh);
    } else if (watched == popup_ && event->type() == QEvent::Show) {
        // The list shows at once; the devices follow a moment later.
        QTimer::singleShot(0, this, &PortListDevices::refresh);
    }
    return QObject::eventFilter(watched, event);
}

void PortListDevices::refresh()
{
    if (openings_ > 0) {
        refreshWaiting_ = true;
        return;
    }
    if (!popup_) {
        popup_ = list_.view();
        popup_->installEventFilter(this);
    }
    try {
        serial_.refreshPorts();
    } catch (...) {
        platform_.msgBox(currentFailure().reportText());
    }
    showDevices();
}

void PortListDevices::showDevices()
{
    for (int entry = 0; entry < list_.count(); ++entry)
        list_.setItemData(entry, serial_.describePort(static_cast<std::int16_t>(entry + 1)), Qt::ToolTipRole);
    shown_ = true;
    describeShownEntry();
}

void PortListDevices::describeShownEntry()
{
    if (shown_)
        list_.setAccessibleDescription(list_.itemData(list_.currentIndex(), Qt::ToolTipRole).toString());
}
