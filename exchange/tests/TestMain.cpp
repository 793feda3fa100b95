// The control server's thread wants an application object to exist; the tests run beside it.
#include "tests/support/LogCapture.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    SetLogFile("exchange-tests.log");
    SetLogConsoleOutput(false);
    ForwardVoipLog();
    SetLogSeverity(Informational);
    return RUN_ALL_TESTS();
}
