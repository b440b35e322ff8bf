// Choice of framing and of the device address.

#include "line/exchange/deviceexchange.h"
#include "protocol/numericvalue.h"
#include "ui_frmmain.h"
#include "windows/forms/frmmain.h"

void frmMain::optProt_Click(int Index)
{
    switch (Index) {
    case 0:
        m.framing.protocol = Framing::Protocol::Off;
        ui->cmdSet->setEnabled(false);
        ui->ckPrompt->setChecked(true);
        break;
    case 1:
        m.framing.protocol = Framing::Protocol::Addr;
        ui->cmdSet->setEnabled(true);
        ui->ckPrompt->setChecked(true);
        ui->txtAddr->setFocus(); // the operator will want to type the address next
        break;
    case 2:
        m.framing.protocol = Framing::Protocol::Packet;
        ui->cmdSet->setEnabled(true);
        ui->ckPrompt->setChecked(false);
        ui->txtAddr->setFocus();
        break;
    default:
        break;
    }
}

void frmMain::txtAddr_Change()
{
    ui->cmdSet->setEnabled(true);
}

void frmMain::cmdSet_Click()
{
    hideError();
    const AddressEntry entry = EncodeAddress(ui->txtAddr->text());
    if (const auto refused = DeviceExchange::addressRefusal(entry)) {
        reportError(DescribeExchangeProblem({*refused}));
        return;
    }
    m.framing.address = entry.devAddr.toLatin1();
    m.AddrSetFlg = true;
    ui->cmdSet->setEnabled(false);
    ui->combCmd->setFocus();
    setResults(QStringLiteral("Device address set to ") + m.devAddr());
}
