#pragma once

#include "protocol/framing.h"

#include <QString>

// The run's state that every handler of the main window shares. Nothing of it is saved. The
// loops keep their own (TestLoops: IDNTestFlg, CMDloopFlg, LpCount).
struct MainState
{
    bool AddrSetFlg = false; // an address has been committed once; never cleared again
    int QueryFlg = 0; // the last framed message held a '?'
    // The protocol chosen with the option buttons and the address in force, "4" until Set
    // Address commits another. The terminators are read from their boxes at each send.
    Framing framing{Framing::Protocol::Off, QByteArray(Wire::StartupAddress)};
    QString lastCmd; // repeated when Send finds the command box empty
    QString crlf; // between the lines of the results box

    // The address characters after STX, as Set Address shows them.
    QString devAddr() const { return QString::fromLatin1(framing.address); }
};
