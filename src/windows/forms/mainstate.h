#pragma once

#include "protocol/framing.h"

#include <QByteArray>
#include <QString>

// The run's state that every handler of the main window shares. Nothing of it is saved. The
// loops keep their own (TestLoops: IDNTestFlg, CMDloopFlg, LpCount).
struct MainState
{
    bool AddrSetFlg = false; // an address has been committed once; never cleared again
    int QueryFlg = 0; // the last framed message held a '?'
    bool addrMode = false; // "Addr " framing chosen
    bool packetMode = false; // "Packet" framing chosen
    QString lastCmd; // repeated when Send finds the command box empty
    QByteArray outMsg; // the frame being sent, exactly as it goes on the line
    QString devAddr = QLatin1String(Wire::StartupAddress);
    QString crlf; // between the lines of the results box
};
