#include "service/core/CBSrvSettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class CBSrvSettingsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, dir.path());
        QDir(dir.path()).mkpath("Brint");
    }
    void write(const QByteArray& ini)
    {
        QFile f(dir.filePath("Brint/Selvane.ini"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(ini);
    }

    QTemporaryDir dir;
    CBSrvSettings settings;
};

TEST_F(CBSrvSettingsTest, NoFileReadsNothing)
{
    settings.MaxNumbersInQueue = 99;
    EXPECT_FALSE(settings.LoadSettings());
    EXPECT_EQ(settings.MaxNumbersInQueue, 99);
}

TEST_F(CBSrvSettingsTest, EmptyFileIsNotAConfiguration)
{
    write("");
    EXPECT_FALSE(settings.LoadSettings());
}

TEST_F(CBSrvSettingsTest, OnlyLoggingLevelLeavesEverythingElseZeroOrEmpty)
{
    write("[Other]\nLoggingLevel=7\n");
    ASSERT_TRUE(settings.LoadSettings());
    EXPECT_EQ(settings.LoggingLevel, 7);
    EXPECT_EQ(settings.GetMaxNumbersInQueue(), 0);
    EXPECT_EQ(settings.GetMaxCallBackTries(), 0);
    EXPECT_EQ(settings.GetEnterPinMaxTries(), 0);
    EXPECT_EQ(settings.GetEnterPinTimer(), 0);
    EXPECT_EQ(settings.GetEnterNumberTimer(), 0);
    EXPECT_TRUE(settings.DriverName.isEmpty());
    EXPECT_EQ(settings.GetLocalAddress(), "");
    EXPECT_TRUE(settings.ListenAddress.isEmpty()) << "every interface on 5060";
    EXPECT_TRUE(settings.GetSipRegistrations().empty());
}

TEST_F(CBSrvSettingsTest, FullFileWithArraysInFileOrder)
{
    write("[Database]\nDriverName=QIBASE\nDatabaseName=norvel\nUserName=SYSDBA\nPassword=masterkey\n"
          "HostName=localhost\nDatabasePort=3050\n"
          "[Norvel]\nServer=pbx.local\nPort=9000\nUsername=op\nPassword=secret\n"
          "[PBX]\nDummyExtensions\\size=2\nDummyExtensions\\1\\DummyExtension=701\n"
          "DummyExtensions\\2\\DummyExtension=702\nACDGroupName=acd\nLineAccessCode="
          "9\nWrongPINOGMNumberTimer=4\n"
          "[SIP]\nsip_registrations\\size=3\n"
          "sip_registrations\\1\\login=line1\nsip_registrations\\1\\password=p1\nsip_"
          "registrations\\1\\server=10.0.0.1\n"
          "sip_registrations\\2\\login=line2\nsip_registrations\\2\\password=p2\nsip_"
          "registrations\\2\\server=10.0.0.2\n"
          "sip_registrations\\3\\login=line3\nsip_registrations\\3\\password=p3\nsip_"
          "registrations\\3\\server=10.0.0.3\n"
          "LocalAddress=127.0.0.1\nListenAddress=127.0.0.1:5070\n"
          "[CallBack]\nMaxNumbersInQueue=10\nMaxCallBackTries=3\nDialTimer=30\nEnterPinTimer=5\n"
          "EnterPinMaxTries=3\nEnterNumberTimer=7\n");
    ASSERT_TRUE(settings.LoadSettings());
    EXPECT_EQ(settings.DriverName, "QIBASE");
    EXPECT_EQ(settings.DatabasePort, 3050);
    EXPECT_EQ(settings.Password, "masterkey");
    EXPECT_EQ(settings.NorvelPassword, "secret");
    EXPECT_EQ(settings.Username, "op");
    EXPECT_EQ(settings.Port, 9000);
    EXPECT_EQ(settings.GetDummyExtensions(), (std::vector<std::string>{"701", "702"}));
    EXPECT_EQ(settings.GetACDGroupName(), "acd");
    EXPECT_EQ(settings.WrongPINOGMNumberTimer, 4);
    const auto& lines = settings.GetSipRegistrations();
    ASSERT_EQ(lines.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(lines[i].login, "line" + std::to_string(i + 1));
        EXPECT_EQ(lines[i].password, "p" + std::to_string(i + 1));
        EXPECT_EQ(lines[i].server, "10.0.0." + std::to_string(i + 1));
    }
    EXPECT_EQ(settings.GetLocalAddress(), "127.0.0.1");
    EXPECT_EQ(settings.ListenAddress, "127.0.0.1:5070");
    EXPECT_EQ(settings.GetMaxNumbersInQueue(), 10);
    EXPECT_EQ(settings.GetDialTimer(), 30);
    EXPECT_EQ(settings.GetEnterNumberTimer(), 7);
    EXPECT_EQ(settings.LoggingLevel, 5) << "a file without LoggingLevel gives 5";
}

TEST_F(CBSrvSettingsTest, ValueThatIsNotANumberReadsAsZero)
{
    write("[CallBack]\nMaxNumbersInQueue=ten\nMaxCallBackTries=3\n[Other]\nLoggingLevel=loud\n");
    ASSERT_TRUE(settings.LoadSettings());
    EXPECT_EQ(settings.GetMaxNumbersInQueue(), 0);
    EXPECT_EQ(settings.GetMaxCallBackTries(), 3);
    EXPECT_EQ(settings.LoggingLevel, 0);
}

TEST_F(CBSrvSettingsTest, ApplicationDirIsTheProgramFolder)
{
    EXPECT_EQ(settings.GetApplicationDir(), QCoreApplication::applicationDirPath().toStdString());
}

} // namespace
