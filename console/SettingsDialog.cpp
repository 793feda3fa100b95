#include "console/SettingsDialog.h"

#include "console/Application.h"
#include "ui_SettingsDialog.h"

#include <QSettings>
#include <QShowEvent>
#include <QSqlDatabase>

SettingsDialog::SettingsDialog(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::SettingsDialog>())
{
    ui->setupUi(this);
    console::SetApplicationIdentity();
    if (!loadSettings()) {
        SetDefaultSettings();
        save_settings();
    }
    fillForm();
}

SettingsDialog::~SettingsDialog() = default;

bool SettingsDialog::loadSettings()
{
    console::ConnectionSettings values;
    const bool ok = console::ReadConnectionSettings(values);
    stored_ = values;
    driverName_ = values.driverName;
    databaseName_ = values.databaseName;
    hostName_ = values.hostName;
    port_ = values.port;
    return ok;
}

bool SettingsDialog::save_settings()
{
    auto store = console::OpenSettings();
    store->beginGroup("Database");
    store->setValue("DriverName", driverName_);
    store->setValue("DatabaseName", databaseName_);
    store->setValue("HostName", hostName_);
    store->setValue("DatabasePort", port_);
    store->endGroup();
    store->sync();
    stored_ = {driverName_, databaseName_, hostName_, port_};
    return store->status() == QSettings::NoError;
}

void SettingsDialog::set_driverName(QString db_driver) { driverName_ = std::move(db_driver); }
void SettingsDialog::set_databaseName(QString db_name) { databaseName_ = std::move(db_name); }
void SettingsDialog::set_hostName(QString db_hostname) { hostName_ = std::move(db_hostname); }
void SettingsDialog::set_port(QString db_portnum) { port_ = std::move(db_portnum); }

void SettingsDialog::SetDefaultSettings()
{
    driverName_ = "QIBASE";
    databaseName_ = "norvel_callback";
    hostName_ = "localhost";
    port_ = "3060";
}

QStringList SettingsDialog::OfferedDrivers(QStringList available)
{
    for (const char* legacy : {"QMYSQL3", "QOCI8", "QODBC3", "QPSQL7", "QTDS7"})
        available.removeAll(legacy);
    return available;
}

void SettingsDialog::fillForm()
{
    // Filling the fields must not reach the working copy through the change signals: a stored driver
    // that is not offered would otherwise be replaced by the first entry.
    ui->cbDBDriver->addItems(OfferedDrivers(QSqlDatabase::drivers()));
    selectDriver();
    ui->txtDBHostname->setText(hostName_);
    ui->txtDBName->setText(databaseName_);
    ui->txtDBPort->setText(port_);

    connect(ui->set_cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui->set_okButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->set_okButton, &QPushButton::clicked, this, &SettingsDialog::save_settings);
    connect(ui->txtDBHostname, &QLineEdit::textChanged, this, &SettingsDialog::set_hostName);
    connect(ui->txtDBName, &QLineEdit::textChanged, this, &SettingsDialog::set_databaseName);
    connect(ui->txtDBPort, &QLineEdit::textChanged, this, &SettingsDialog::set_port);
    connect(ui->cbDBDriver, &QComboBox::currentTextChanged, this, &SettingsDialog::set_driverName);
}

void SettingsDialog::selectDriver()
{
    const int index = ui->cbDBDriver->findText(driverName_, Qt::MatchExactly);
    if (index >= 0)
        ui->cbDBDriver->setCurrentIndex(index);
}

void SettingsDialog::showEvent(QShowEvent* event)
{
    console::ConnectionSettings now;
    console::ReadConnectionSettings(now);
    if (now.driverName != stored_.driverName) {
        driverName_ = now.driverName;
        selectDriver();
    }
    if (now.databaseName != stored_.databaseName)
        ui->txtDBName->setText(now.databaseName);
    if (now.hostName != stored_.hostName)
        ui->txtDBHostname->setText(now.hostName);
    if (now.port != stored_.port)
        ui->txtDBPort->setText(now.port);
    stored_ = now;
    QDialog::showEvent(event);
}
