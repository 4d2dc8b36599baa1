// orvessa: switches and reads the outlets of an Orvessa controller from
// scripts and lab tools.
#include "panel_settings.h"
#include "program.h"
#include "serve_program.h"

#include <QCoreApplication>

#include <cstdio>
#include <exception>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    // The panel's names: orvessa reads the panel's settings file.
    QCoreApplication::setOrganizationName(Driver::PanelSettings::Organisation);
    QCoreApplication::setApplicationName(Driver::PanelSettings::Application);
    try {
        return Cli::run(QCoreApplication::arguments(), Serve::serve);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "orvessa: %s\n", error.what());
        return 1;
    }
}
