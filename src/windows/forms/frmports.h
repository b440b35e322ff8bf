#pragma once

#include <QDialog>
#include <QString>

#include <optional>

QT_BEGIN_NAMESPACE
class QButtonGroup;
namespace Ui {
class frmPorts;
}
QT_END_NAMESPACE

class SerialControl;

// What the operator chose in the port window, kept for the life of the program.
struct PortChoice
{
    int comPort = 0; // 1 to 4; 0 while no COM port has been chosen
    QString commSettings; // "9600,N,8,1" and the like
};

// The port selection window. It only records the operator's choice; Initialize reads it.
class frmPorts : public QDialog
{
    Q_OBJECT

public:
    explicit frmPorts(QWidget *parent = nullptr);
    ~frmPorts() override;

    const PortChoice &choice() const { return m_choice; }

    void Form_Load();
    void optBaud_Click(int Index);
    void cmdCOM_Click(int port);
    void cmdExit_Click();
    // Chooses as the operator does, by the baud rate's option and the COM port's button. False,
    // and nothing chosen, when no option has that rate; no rate leaves the option alone.
    bool choose(int comPort, std::optional<qint32> baudRate);

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
    PortChoice m_choice;
};
