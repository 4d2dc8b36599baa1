#include "font_warm_up.h"
#include "form1.h"
#include "host_serial.h"
#include "qt_platform_services.h"
#include "texts.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    FontWarmUp fonts;
    QApplication app(argc, argv);
    fonts.finish();
    QCoreApplication::setOrganizationName(QStringLiteral("Tavrin"));
    QCoreApplication::setApplicationName(Texts::AppTitle);
    // Ties the window to its desktop entry, also on Wayland.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.tavrin.orvessa"));

    HostSerial serial;
    QtPlatformServices platform;
    Form1 form(serial, platform);
    form.startUp();
    form.show();
    return QApplication::exec();
}
