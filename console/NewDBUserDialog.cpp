#include "console/NewDBUserDialog.h"

#include "ui_NewDBUserDialog.h"

#include <QMessageBox>

NewDBUserDialog::NewDBUserDialog(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::NewDBUserDialog>())
{
    ui->setupUi(this);
    connect(ui->btnOK, &QPushButton::clicked, this, &NewDBUserDialog::btnOKSlot);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

NewDBUserDialog::~NewDBUserDialog() = default;

QString NewDBUserDialog::userName() const { return ui->lineEditUsername->text(); }
QString NewDBUserDialog::password() const { return ui->lineEditPassword1->text(); }
QString NewDBUserDialog::firstName() const { return ui->lineEditFirstname->text(); }
QString NewDBUserDialog::middleName() const { return ui->lineEditMiddlename->text(); }
QString NewDBUserDialog::lastName() const { return ui->lineEditLastname->text(); }

void NewDBUserDialog::btnOKSlot()
{
    if (ui->lineEditPassword2->text() == ui->lineEditPassword1->text()) {
        accept();
        return;
    }
    QMessageBox::information(this, tr("Error message"), tr("Password must to be equal in two fields."));
}
