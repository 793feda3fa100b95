#include "console/NewCallerIDDialog.h"

#include "ui_NewCallerIDDialog.h"

NewCallerIDDialog::NewCallerIDDialog(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::NewCallerIDDialog>())
{
    ui->setupUi(this);
    connect(ui->btnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

NewCallerIDDialog::~NewCallerIDDialog() = default;

QString NewCallerIDDialog::callerId() const { return ui->lineEditCallerID->text(); }
void NewCallerIDDialog::setCallerId(const QString& callerId) { ui->lineEditCallerID->setText(callerId); }
QString NewCallerIDDialog::pin() const { return ui->lineEditPIN->text(); }
void NewCallerIDDialog::setPin(const QString& pin) { ui->lineEditPIN->setText(pin); }
QString NewCallerIDDialog::name() const { return ui->lineEditName->text(); }
void NewCallerIDDialog::setName(const QString& name) { ui->lineEditName->setText(name); }
int NewCallerIDDialog::cos() const { return ui->spinboxCOS->value(); }
void NewCallerIDDialog::setCos(int cos) { ui->spinboxCOS->setValue(cos); }
int NewCallerIDDialog::active() const { return ui->chbActiveUser->isChecked() ? 1 : 0; }
void NewCallerIDDialog::setActive(int active) { ui->chbActiveUser->setChecked(active > 0); }
