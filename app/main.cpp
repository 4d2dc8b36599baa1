#include "font_warm_up.h"
#include "form1.h"
#include "panel_serial.h"
#include "qt_platform_services.h"
#include "stop_signals.h"
#include "texts.h"

#include <QApplication>

#include <memory>

int main(int argc, char* argv[])
{
    FontWarmUp fonts;
    QApplication app(argc, argv);
    StopSignals stopSignals;
    fonts.finish();
    QCoreApplication::setOrganizationName(QStringLiteral("Tavrin"));
    QCoreApplication::setApplicationName(Texts::AppTitle);
    // Ties the window to its desktop entry, also on Wayland.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.tavrin.orvessa"));

    // Reads only the command line: a server is reached when the port opens.
    const PanelTarget target = parsePanelArguments(QCoreApplication::arguments());
    SessionToken token;
    const std::unique_ptr<SerialComponent> serial = makePanelSerial(target, token);
    QtPlatformServices platform;
    Form1 form(*serial, platform);

    // SIGTERM, SIGHUP and SIGINT close the window as the operator would (shut-
    // down saves the port choice and closes the port), and end with status 0
    // every event loop that runs, a message box's too: exit(), as quit() does
    // nothing before the main loop runs. Before it runs, the window is closed
    // once start-up has returned.
    bool mainLoopRuns = false;
    QObject::connect(&stopSignals, &StopSignals::received, &form, [&form, &mainLoopRuns] {
        if (mainLoopRuns)
            form.close();
        QCoreApplication::exit(0);
    });

    form.startUp();
    showServerInTitle(*serial, form);
    // A signal under start-up's boxes ended their loops; the window is then
    // neither shown nor run.
    if (stopSignals.arrived()) {
        form.close();
        return 0;
    }
    form.show();
    mainLoopRuns = true;
    return QApplication::exec();
}
