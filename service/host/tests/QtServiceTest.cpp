// The framework's checks of a service name, made when the service object is built.
#include "service/host/QtService.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

namespace {

QStringList g_warnings;

void Capture(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtWarningMsg)
        g_warnings << message;
}

class NamedService : public QtService<QCoreApplication>
{
public:
    explicit NamedService(const QString& name) : QtService<QCoreApplication>(0, nullptr, name) {}

protected:
    void start() override {}
};

class QtServiceNameTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_warnings.clear();
        previous = qInstallMessageHandler(&Capture);
    }
    void TearDown() override { qInstallMessageHandler(previous); }
    QtMessageHandler previous = nullptr;
};

TEST_F(QtServiceNameTest, OrdinaryNameIsKeptWithoutWarnings)
{
    NamedService service("Callback Server");
    EXPECT_EQ(service.serviceName(), "Callback Server");
    EXPECT_TRUE(g_warnings.isEmpty());
    EXPECT_EQ(QtServiceBase::instance(), &service);
}

TEST_F(QtServiceNameTest, LongNameIsCutTo255Characters)
{
    NamedService service(QString(300, QLatin1Char('n')));
    EXPECT_EQ(service.serviceName(), QString(255, QLatin1Char('n')));
    EXPECT_EQ(g_warnings, QStringList{"QtService: 'name' is longer than 255 characters."});
}

TEST_F(QtServiceNameTest, BackslashesBecomeNulCharacters)
{
    NamedService service("a\\b\\c");
    EXPECT_EQ(service.serviceName(), QString("a") + QChar(0) + "b" + QChar(0) + "c");
    EXPECT_EQ(g_warnings, QStringList{"QtService: 'name' contains backslashes '\\'."});
}

} // namespace
