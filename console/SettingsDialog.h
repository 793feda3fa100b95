// Edits the console's connection settings (group "Database") and seeds them on first run.
#pragma once

#include "console/Application.h"

#include <QDialog>
#include <QString>
#include <QStringList>

#include <memory>

namespace Ui {
class SettingsDialog;
}

class SettingsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SettingsDialog(QWidget* parent = nullptr);
    ~SettingsDialog() override;

    // True when the store reports no error and holds at least one key.
    bool loadSettings();

    const QString& driverName() const { return driverName_; }
    const QString& databaseName() const { return databaseName_; }
    const QString& hostName() const { return hostName_; }
    const QString& port() const { return port_; }

    // The drivers offered: the available ones without the legacy aliases of older toolkits.
    static QStringList OfferedDrivers(QStringList available);

public slots:
    bool save_settings();
    void set_driverName(QString db_driver);
    void set_databaseName(QString db_name);
    void set_hostName(QString db_hostname);
    void set_port(QString db_portnum);
    void SetDefaultSettings();

protected:
    // Takes up what another dialog stored since this one last read or wrote the store; edits typed
    // here and cancelled stay when nobody else changed that value.
    void showEvent(QShowEvent* event) override;

private:
    void fillForm();
    void selectDriver();

    QString driverName_;
    QString databaseName_;
    QString hostName_;
    QString port_;
    console::ConnectionSettings stored_; // the store's values as this dialog last read or wrote them
    std::unique_ptr<Ui::SettingsDialog> ui;
};
