// Program entry of the Radar Configurator: the application object, the main
// window Form1, the message loop until the window closes.
//
// RC_PORT_DIRECTORY, read only when set, is for tests: the folder the port
// scan looks in instead of /dev, so that a test can start the installed
// program without it probing the machine's serial devices.
#include "configurator/Unit1.h"
#include "host/qt/Application.h"

#include <cstdlib>

int main(int argc, char** argv) {
    host::qt::TApplication Application(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("Radar Configurator"));
    TForm1Options options;
    if (const char* ports = std::getenv("RC_PORT_DIRECTORY"); ports != nullptr && *ports != '\0') {
        options.PortDirectory = ports;
    }
    TForm1 Form1(std::move(options));
    Form1.show();
    return Application.exec();
}
