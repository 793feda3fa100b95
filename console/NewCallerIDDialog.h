// The subscriber form used to add and to edit a row of USERS. It validates nothing.
#pragma once

#include <QDialog>
#include <QString>

#include <memory>

namespace Ui {
class NewCallerIDDialog;
}

class NewCallerIDDialog : public QDialog
{
    Q_OBJECT

public:
    explicit NewCallerIDDialog(QWidget* parent = nullptr);
    ~NewCallerIDDialog() override;

    QString callerId() const;
    void setCallerId(const QString& callerId);
    QString pin() const;
    void setPin(const QString& pin);
    QString name() const;
    void setName(const QString& name);
    int cos() const;
    void setCos(int cos);
    // 1 when "Active user" is checked, else 0; any value above 0 checks it.
    int active() const;
    void setActive(int active);

private:
    std::unique_ptr<Ui::NewCallerIDDialog> ui;
};
