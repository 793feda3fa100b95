// The form for a new operator account; it only checks that the two passwords agree.
#pragma once

#include <QDialog>
#include <QString>

#include <memory>

namespace Ui {
class NewDBUserDialog;
}

class NewDBUserDialog : public QDialog
{
    Q_OBJECT

public:
    explicit NewDBUserDialog(QWidget* parent = nullptr);
    ~NewDBUserDialog() override;

    QString userName() const;
    QString password() const;
    QString firstName() const;
    QString middleName() const;
    QString lastName() const;

private slots:
    void btnOKSlot();

private:
    std::unique_ptr<Ui::NewDBUserDialog> ui;
};
