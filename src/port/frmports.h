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

    void Form_Load();
    void optBaud_Click(int Index);
    void cmdCOM_Click(int port);
    void cmdExit_Click();

protected:
    void showEvent(QShowEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void describeComButtons();

    Ui::frmPorts *ui;
    // Given the port and settings of every COM button, as instrument software has always kept
    // one control per window; only the main window's control is ever opened.
    SerialControl *MSComm1 = nullptr;
    QButtonGroup *optBaud = nullptr;
};
