// Selvdesk: the operators' console of the callback service.
#include "console/Application.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    console::SetApplicationIdentity();
    QApplication app(argc, argv);
    return console::Run(app);
}
