// Choice of framing and of the device address.

#include "protocol/framing.h"
#include "protocol/numericvalue.h"
#include "ui_frmmain.h"
#include "windows/frmmain.h"

void frmMain::optProt_Click(int Index)
{
    switch (Index) {
    case 0:
        m.addrMode = false;
        m.packetMode = false;
        ui->cmdSet->setEnabled(false);
        ui->ckPrompt->setChecked(true);
        break;
    case 1:
        m.addrMode = true;
        m.packetMode = false;
        ui->cmdSet->setEnabled(true);
        ui->ckPrompt->setChecked(true);
        ui->txtAddr->setFocus(); // the operator will want to type the address next
        break;
    case 2:
        m.addrMode = false;
        m.packetMode = true;
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
    if (!entry.accepted) {
        reportError(QStringLiteral("Address value not 0 to 15, re-enter"));
        return;
    }
    // An address goes on the line character for character as bytes, so a character beyond
    // code 255 ("5\u20ac") could never be sent; refuse it here rather than at every Send.
    if (!FitsOnLine(entry.devAddr)) {
        reportError(QStringLiteral("Address holds a character outside codes 0 to 255, re-enter"));
        return;
    }
    m.devAddr = entry.devAddr;
    m.AddrSetFlg = true;
    ui->cmdSet->setEnabled(false);
    ui->combCmd->setFocus();
    setResults(QStringLiteral("Device address set to ") + m.devAddr);
}
