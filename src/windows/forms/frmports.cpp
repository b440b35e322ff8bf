#include "windows/forms/frmports.h"

#include "line/linemessages.h"
#include "line/port/portbinding.h"
#include "line/port/serialcontrol.h"
#include "line/serialsettings.h"
#include "ui_frmports.h"
#include "windows/artwork.h"
#include "windows/forms/optionarray.h"
#include "windows/forms/optionfocus.h"

#include <QButtonGroup>
#include <QKeyEvent>

#include <array>
#include <limits>

frmPorts::frmPorts(QWidget *parent) : QDialog(parent), ui(new Ui::frmPorts)
{
    ui->setupUi(this);
    setWindowIcon(QuillonWindowIcon());
    QFont titleFont = ui->lblTitle->font(); // 9.75 pt, which the .ui format cannot express
    titleFont.setPointSizeF(9.75);
    ui->lblTitle->setFont(titleFont);
    ui->txtERROR->setVisible(false);
    ui->txtERROR->setMaxLength(std::numeric_limits<int>::max());
    ui->txtERROR->setAccessibleName(QStringLiteral("Error"));
    MSComm1 = new SerialControl(this);

    optBaud = new QButtonGroup(this);
    const std::array buttons = {ui->optBaud_0, ui->optBaud_1, ui->optBaud_2, ui->optBaud_3,
            ui->optBaud_4, ui->optBaud_5, ui->optBaud_6};
    for (int index = 0; index < int(buttons.size()); ++index)
        optBaud->addButton(buttons[index], index);
    OptionArray::connectSelection(optBaud, this, &frmPorts::optBaud_Click);
    OptionFocus::install(optBaud);

    connect(ui->cmdCOM1, &QPushButton::clicked, this, [this] { cmdCOM_Click(1); });
    connect(ui->cmdCOM2, &QPushButton::clicked, this, [this] { cmdCOM_Click(2); });
    connect(ui->cmdCOM3, &QPushButton::clicked, this, [this] { cmdCOM_Click(3); });
    connect(ui->cmdCOM4, &QPushButton::clicked, this, [this] { cmdCOM_Click(4); });
    connect(ui->cmdExit, &QPushButton::clicked, this, &frmPorts::cmdExit_Click);

    describeComButtons();
    Form_Load();
}

frmPorts::~frmPorts()
{
    delete ui;
}

void frmPorts::Form_Load()
{
    ui->optBaud_2->setChecked(true); // raises optBaud_Click(2)
}

void frmPorts::describeComButtons()
{
    // Which device each button opens, told to screen readers without touching the captions;
    // the binding can change between showings.
    const std::array buttons = {ui->cmdCOM1, ui->cmdCOM2, ui->cmdCOM3, ui->cmdCOM4};
    for (int n = 1; n <= int(buttons.size()); ++n)
        buttons[n - 1]->setAccessibleDescription(
                QStringLiteral("Opens %1").arg(EscapeOutsideText(DevicePathForComPort(n))));
}

void frmPorts::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    describeComButtons();
    // Space or an arrow key then acts on the baud rate in force, not on the first option.
    if (QAbstractButton *selected = optBaud->checkedButton())
        selected->setFocus(Qt::ActiveWindowFocusReason);
}

void frmPorts::keyPressEvent(QKeyEvent *event)
{
    // No button is the window's cancel button: Esc does nothing here. The window is left with
    // its return button, or its close control.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void frmPorts::optBaud_Click(int Index)
{
    if (Index >= 0 && Index < int(SerialSettings::Offered.size()))
        m_choice.commSettings = QString::fromLatin1(SerialSettings::Offered[Index]);
}

void frmPorts::cmdCOM_Click(int port)
{
    MSComm1->setCommPort(port);
    MSComm1->setSettings(m_choice.commSettings);
    m_choice.comPort = port;
}

bool frmPorts::choose(int comPort, std::optional<qint32> baudRate)
{
    const std::array buttons = {ui->cmdCOM1, ui->cmdCOM2, ui->cmdCOM3, ui->cmdCOM4};
    if (comPort < 1 || comPort > int(buttons.size()))
        return false;
    if (!baudRate) { // the line's rate is not ours to set: the one chosen stays
        buttons[comPort - 1]->click();
        return true;
    }
    for (int index = 0; index < int(SerialSettings::Offered.size()); ++index) {
        const auto offered = SerialSettings::parse(QLatin1String(SerialSettings::Offered[index]));
        if (!offered || offered->baudRate != baudRate)
            continue;
        optBaud->button(index)->setChecked(true); // raises optBaud_Click
        buttons[comPort - 1]->click();
        return true;
    }
    return false;
}

void frmPorts::cmdExit_Click()
{
    hide(); // ends the modal showing; the title-bar close does the same through reject()
}
