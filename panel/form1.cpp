#include "form1.h"

#include "colors.h"
#include "fonts.h"
#include "frame.h"
#include "lamp.h"
#include "operation_error.h"
#include "platform_services.h"
#include "serial_component.h"
#include "texts.h"
#include "twips.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <vector>

namespace {

constexpr int ClientWidth = 8670;
constexpr int ClientHeight = 5175;

QPushButton* makeButton(QWidget* parent, const QString& caption)
{
    auto* button = new QPushButton(caption, parent);
    // Enter, like Space, clicks the focused button.
    button->setAutoDefault(true);
    return button;
}

Frame* makeFrame(QWidget* parent, const QString& caption)
{
    auto* frame = new Frame(caption, parent);
    frame->setFont(Fonts::song(10.5));
    return frame;
}

}  // namespace

Form1::Form1(SerialComponent& comm, PlatformServices& platform, QWidget* parent)
    : QWidget(parent), MSComm1(comm), platform_(platform)
{
    buildControls();
    setTabOrderAsDesigned();
    wireEvents();
    watchPortListDevices();
    // The poll timer ticks from the moment the window exists.
    Timer1->start(LinkWatchdog::FastIntervalMs);
}

Form1::~Form1()
{
    // Stop watching the port list before the window destroys it.
    Com->removeEventFilter(this);
    Com->lineEdit()->removeEventFilter(this);
}

void Form1::buildControls()
{
    const Twips t(logicalDpiX());
    setFixedSize(t.px(ClientWidth), t.px(ClientHeight));
    setFont(Fonts::windowDefault(font()));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Colors::Background);
    setPalette(pal);
    setAutoFillBackground(true);

    // Frames first, so each lies behind the control it holds.
    Frame2 = makeFrame(this, QStringLiteral("PC指令"));
    Frame2->setGeometry(t.rect(240, 3360, 1455, 975));
    Frame3 = makeFrame(this, QStringLiteral("返回结果"));
    Frame3->setGeometry(t.rect(2040, 3360, 1575, 975));
    Frame1 = makeFrame(this, QStringLiteral("串口设置"));
    Frame1->setGeometry(t.rect(3960, 3360, 1335, 975));

    for (int i = 0; i < Channels; ++i) {
        Lamp0[i] = new Lamp(this);
        Lamp0[i]->setGeometry(t.rect(240 + 720 * i, 480, 255, 255));
        Key0[i] = makeButton(this, QStringLiteral("PB%1").arg(i));
        Key0[i]->setGeometry(t.rect(120 + 720 * i, 840, 495, 495));
        Lamp0[Channels + i] = new Lamp(this);
        Lamp0[Channels + i]->setGeometry(t.rect(240 + 720 * i, 1920, 255, 255));
        Key1[i] = makeButton(this, QStringLiteral("PB%1").arg(i < 8 ? 12 + i : 19));
        Key1[i]->setGeometry(t.rect(120 + 720 * i, 2280, 495, 495));
    }

    Keyall = makeButton(this, QStringLiteral("全开"));
    Keyall->setGeometry(t.rect(7200, 3240, 1095, 375));
    Keyall->setFont(Fonts::song(12));

    Label1 = new QLabel(QStringLiteral("串口状态"), this);
    Label1->setGeometry(t.rect(5640, 3240, 975, 255));
    Label1->setFont(Fonts::song(12));
    Label1->setAlignment(Qt::AlignCenter);

    Senddis = new QLineEdit(this);
    Senddis->setGeometry(t.rect(360, 3720, 1215, 405));
    Senddis->setFont(Fonts::song(14.25));

    Rxdis = new QLineEdit(this);
    Rxdis->setGeometry(t.rect(2160, 3720, 1335, 375));
    Rxdis->setReadOnly(true);

    Com = new QComboBox(this);
    // The font comes first: the text field the list makes lays out its text
    // when it is made, and again on each change of font.
    Com->setFont(Fonts::song(10.5));
    Com->setEditable(true);
    Com->setInsertPolicy(QComboBox::NoInsert);
    Com->setCompleter(nullptr);
    Com->setEditText(QStringLiteral("Com"));
    Com->setGeometry(t.rect(4200, 3720, 855, 330));

    Shape1 = new Lamp(this);
    Shape1->setGeometry(t.rect(6000, 3720, 255, 255));

    Command1 = makeButton(this, QStringLiteral("全关"));
    Command1->setGeometry(t.rect(7200, 4080, 1095, 375));
    Command1->setFont(Fonts::song(12));

    Comopen = makeButton(this, Texts::ClosePort);
    Comopen->setGeometry(t.rect(5640, 4200, 975, 495));
    Rstcomm = makeButton(this, QStringLiteral("前台复位"));
    Rstcomm->setGeometry(t.rect(720, 4440, 1215, 495));
    Upcomm = makeButton(this, QStringLiteral("软件升级"));
    Upcomm->setGeometry(t.rect(2160, 4440, 1215, 495));

    Timer1 = new QTimer(this);
    // Polls keep their period; a coarse timer may drift by 5 % of it.
    Timer1->setTimerType(Qt::PreciseTimer);
    describeControlsForAssistiveTechnology();
}

void Form1::setTabOrderAsDesigned()
{
    std::vector<std::pair<int, QWidget*>> order;
    for (int i = 0; i < Channels; ++i) {
        order.emplace_back(i < 6 ? i : 9 + (i - 6), Key0[i]);
        order.emplace_back(i < 8 ? 15 + i : 32 + (i - 8), Key1[i]);
    }
    order.insert(
        order.end(),
        {{6, Keyall}, {7, Upcomm}, {8, Rstcomm}, {24, Com}, {26, Senddis}, {28, Rxdis}, {29, Comopen}, {31, Command1}});
    std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1].second, order[i].second);
}

void Form1::wireEvents()
{
    for (int i = 0; i < Channels; ++i)
        connect(Key0[i], &QPushButton::clicked, this, [this, i] { guarded([this, i] { Key0_Click(i); }); });
    connect(Keyall, &QPushButton::clicked, this, [this] { guarded([this] { Keyall_Click(); }); });
    connect(Command1, &QPushButton::clicked, this, [this] { guarded([this] { Command1_Click(); }); });
    connect(Upcomm, &QPushButton::clicked, this, [this] { guarded([this] { Upcomm_Click(); }); });
    connect(Rstcomm, &QPushButton::clicked, this, [this] { guarded([this] { Rstcomm_Click(); }); });
    connect(Comopen, &QPushButton::clicked, this, [this] { guarded([this] { Comopen_Click(); }); });
    connect(Com, &QComboBox::activated, this, &Form1::onComActivated);
    // The combo box hands focus and key events to its text field directly,
    // past any filter on the field, so both are watched.
    Com->installEventFilter(this);
    Com->lineEdit()->installEventFilter(this);
    // A posted tick leaves the timer free to fire again while a handler waits
    // in a message box.
    connect(Timer1, &QTimer::timeout, this, &Form1::onTimer1Timeout, Qt::QueuedConnection);
    connect(&MSComm1, &SerialComponent::OnComm, this, [this] { guarded([this] { MSComm1_OnComm(); }); });
}

void Form1::onTimer1Timeout()
{
    // A tick posted before the timer was stopped belongs to the stopped timer.
    if (Timer1->isActive())
        guarded([this] { Timer1_Timer(); });
}

void Form1::onComActivated()
{
    if (comTextEditing_)
        return;
    Com_Click();  // reports its own failures
}

bool Form1::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Com || watched == Com->lineEdit()) {
        const bool finishesEdit =
            event->type() == QEvent::FocusOut ||
            (event->type() == QEvent::KeyPress && (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Return ||
                                                   static_cast<QKeyEvent*>(event)->key() == Qt::Key_Enter));
        if (finishesEdit && !comTextEditing_) {
            // The combo box turns a finished edit that names an entry into a
            // pick of it. Typed text must neither switch the port nor move the
            // selection, so the selection is put back once the event is handled.
            comTextEditing_ = true;
            const int selected = Com->currentIndex();
            QTimer::singleShot(0, this, [this, selected] {
                if (Com->currentIndex() != selected) {
                    const QString typed = Com->currentText();
                    Com->setCurrentIndex(selected);
                    Com->setEditText(typed);
                }
                comTextEditing_ = false;
            });
        }
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::addPortEntry(const QString& text)
{
    // Appending must not select: the list keeps its selection, or none.
    const int selected = Com->currentIndex();
    const QString shown = Com->currentText();
    Com->addItem(text);
    if (selected < 0) {
        Com->setCurrentIndex(-1);
        Com->setEditText(shown);
    }
}

std::int16_t Form1::ListIndex() const { return static_cast<std::int16_t>(Com->currentIndex()); }

void Form1::setListIndex(std::int16_t index)
{
    if (index < -1 || index >= Com->count())
        throw OperationError(ErrorNumber::InvalidProperty, ErrorSource::PortList,
                             QStringLiteral("there is no port list entry %1").arg(index));
    Com->setCurrentIndex(index);
    Com_Click();
}

void Form1::reportError(const OperationError& error) { platform_.msgBox(error.reportText()); }

void Form1::reportCurrentFailure() { reportError(currentFailure()); }

template <typename Handler>
void Form1::guarded(Handler&& handler)
{
    try {
        handler();
    } catch (...) {
        reportCurrentFailure();
    }
}

void Form1::closeEvent(QCloseEvent* event)
{
    // The window unloads with its timer: a tick already posted, or one falling
    // due under a box shut-down shows, must not poll a port that is closed.
    Timer1->stop();
    guarded([this] { shutDown(); });
    event->accept();
}
