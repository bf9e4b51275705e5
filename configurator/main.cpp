// Program entry of the Radar Configurator: the application object, the main
// window Form1, the message loop until the window closes.
#include "configurator/Unit1.h"
#include "host/qt/Application.h"

int main(int argc, char** argv) {
    host::qt::TApplication Application(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("Radar Configurator"));
    TForm1 Form1;
    Form1.show();
    return Application.exec();
}
