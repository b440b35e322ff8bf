#pragma once

#include <QDialog>
#include <QString>

QT_BEGIN_NAMESPACE
class QButtonGroup;
namespace Ui {
class frmPorts;
}
QT_END_NAMESPACE

class SerialControl;

// The port selection window. It only records the operator's choice; Initialize reads it.
class frmPorts : public QDialog
{
    Q_OBJECT

public:
    explicit frmPorts(QWidget *parent = nullptr);
    ~frmPorts() override;

    // The choice, kept for the life of the program: 0 means no COM port chosen yet.
    int comPort = 0;
    QString commSettings;

    SerialControl *serial() const { return MSComm1; }

    void Form_Load();
    void optBaud_Click(int Index);
    void cmdCOM_Click(int port);
    void cmdExit_Click();

private:
    Ui::frmPorts *ui;
    SerialControl *MSComm1 = nullptr;
    QButtonGroup *optBaud = nullptr;
};
