#include "rfc2217transport.h"

#include "networkmessages.h"

#include <QtEndian>

#include <algorithm>

namespace {

// COM-PORT-OPTION commands (client to server); the server answers each with 100 more.
enum : quint8 {
    SetBaudRate = 1,
    SetDataSize = 2,
    SetParity = 3,
    SetStopSize = 4,
    SetControl = 5,
    ServerOffset = 100,
};
// SET-CONTROL values.
enum : quint8 { NoFlowControl = 1, DtrOn = 8, DtrOff = 9, RtsOn = 11, RtsOff = 12 };

quint8 parityCode(QSerialPort::Parity parity)
{
    switch (parity) {
    case QSerialPort::OddParity:
        return 2;
    case QSerialPort::EvenParity:
        return 3;
    case QSerialPort::MarkParity:
        return 4;
    case QSerialPort::SpaceParity:
        return 5;
    default:
        return 1;
    }
}

QSerialPort::Parity parityFromCode(int code)
{
    switch (code) {
    case 2:
        return QSerialPort::OddParity;
    case 3:
        return QSerialPort::EvenParity;
    case 4:
        return QSerialPort::MarkParity;
    case 5:
        return QSerialPort::SpaceParity;
    default:
        return QSerialPort::NoParity;
    }
}

quint8 stopCode(QSerialPort::StopBits stop)
{
    switch (stop) {
    case QSerialPort::TwoStop:
        return 2;
    case QSerialPort::OneAndHalfStop:
        return 3;
    default:
        return 1;
    }
}

QSerialPort::StopBits stopFromCode(int code)
{
    switch (code) {
    case 2:
        return QSerialPort::TwoStop;
    case 3:
        return QSerialPort::OneAndHalfStop;
    default:
        return QSerialPort::OneStop;
    }
}

} // namespace

Rfc2217Transport::Rfc2217Transport(int comPort, const LineAddress &address, QObject *parent)
    : TcpTransport(comPort, address, parent)
{
    m_negotiationTimer.setSingleShot(true);
    connect(&m_negotiationTimer, &QTimer::timeout, this, &Rfc2217Transport::negotiationTimedOut);
}

void Rfc2217Transport::startOpen(const SerialSettings &settings)
{
    m_telnet = TelnetCodec();
    m_inbox.clear();
    m_comPortAgreed = false;
    m_confirmedBaud.reset();
    m_confirmedDataBits.reset();
    m_confirmedParity.reset();
    m_confirmedStopBits.reset();
    TcpTransport::startOpen(settings);
}

void Rfc2217Transport::close()
{
    m_negotiationTimer.stop();
    TcpTransport::close();
}

void Rfc2217Transport::connectionMade()
{
    tuneSocket();
    // Binary both ways, so that CR and 0xFF pass as data; no go-ahead; and the option that
    // lets this side set the line.
    using T = TelnetCodec;
    m_socket.write(T::negotiation(T::WILL, T::OptionBinary) + T::negotiation(T::DO, T::OptionBinary)
            + T::negotiation(T::WILL, T::OptionSuppressGoAhead)
            + T::negotiation(T::DO, T::OptionSuppressGoAhead)
            + T::negotiation(T::WILL, T::OptionComPort));
    m_socket.flush();
    m_negotiationTimer.start(std::min(NegotiationTimeoutMs, openTimeLeftMs()));
}

void Rfc2217Transport::socketReadable()
{
    QByteArray data;
    QList<TelnetCodec::Command> commands;
    m_telnet.decode(m_socket.readAll(), data, commands);
    m_inbox += data;
    for (const TelnetCodec::Command &command : commands)
        handleCommand(command);
    if (isOpen() && !data.isEmpty())
        emit readyRead();
}

QByteArray Rfc2217Transport::unreadData()
{
    if (!m_socket.isOpen())
        return m_inbox; // what the server said was decoded as it came
    QByteArray data;
    QList<TelnetCodec::Command> ignored;
    m_telnet.decode(m_socket.readAll(), data, ignored);
    m_inbox += data;
    return m_inbox;
}

void Rfc2217Transport::handleCommand(const TelnetCodec::Command &command)
{
    using T = TelnetCodec;
    const bool ours = command.option == T::OptionBinary
            || command.option == T::OptionSuppressGoAhead || command.option == T::OptionComPort;
    switch (command.verb) {
    case T::DO:
        if (command.option == T::OptionComPort && !m_comPortAgreed) {
            m_comPortAgreed = true;
            sendLineSettings();
        } else if (!ours) {
            m_socket.write(T::negotiation(T::WONT, command.option));
        }
        // Our own options were offered when the connection was made; answering again would
        // start a negotiation loop.
        break;
    case T::WILL:
        if (!ours)
            m_socket.write(T::negotiation(T::DONT, command.option));
        break;
    case T::DONT:
        if (command.option == T::OptionComPort && opening()) {
            setOpenNotice(SettingsUnconfirmedNotice(comPort(), binding(), m_settingsText));
            m_negotiationTimer.stop();
            becomeOpen();
        }
        break;
    case T::SB:
        if (command.option == T::OptionComPort)
            handleServerReply(command.payload);
        break;
    default:
        break;
    }
}

void Rfc2217Transport::sendLineSettings()
{
    using T = TelnetCodec;
    QByteArray baud(4, '\0');
    qToBigEndian(quint32(m_settings.baudRate), baud.data());
    m_socket.write(T::subnegotiation(T::OptionComPort, char(SetBaudRate) + baud)
            + T::subnegotiation(
                    T::OptionComPort, T::bytes({SetDataSize, quint8(m_settings.dataBits)}))
            + T::subnegotiation(
                    T::OptionComPort, T::bytes({SetParity, quint8(parityCode(m_settings.parity))}))
            + T::subnegotiation(T::OptionComPort,
                    T::bytes({SetStopSize, quint8(stopCode(m_settings.stopBits))}))
            + T::subnegotiation(T::OptionComPort, T::bytes({SetControl, quint8(NoFlowControl)})));
    m_socket.flush();
}

void Rfc2217Transport::handleServerReply(const QByteArray &payload)
{
    if (payload.isEmpty())
        return;
    const int code = quint8(payload[0]);
    const QByteArray value = payload.mid(1);
    if (code == ServerOffset + SetBaudRate && value.size() == 4)
        m_confirmedBaud = qint32(qFromBigEndian<quint32>(value.constData()));
    else if (code == ServerOffset + SetDataSize && value.size() == 1)
        m_confirmedDataBits = quint8(value[0]);
    else if (code == ServerOffset + SetParity && value.size() == 1)
        m_confirmedParity = quint8(value[0]);
    else if (code == ServerOffset + SetStopSize && value.size() == 1)
        m_confirmedStopBits = quint8(value[0]);
    else
        return; // line and modem state notices, and replies to SET-CONTROL
    settleSettings();
}

void Rfc2217Transport::settleSettings()
{
    if (!opening() || !m_confirmedBaud || !m_confirmedDataBits || !m_confirmedParity
            || !m_confirmedStopBits)
        return;
    SerialSettings set;
    set.baudRate = *m_confirmedBaud;
    set.dataBits = QSerialPort::DataBits(*m_confirmedDataBits);
    set.parity = parityFromCode(*m_confirmedParity);
    set.stopBits = stopFromCode(*m_confirmedStopBits);
    if (set.text() != m_settings.text())
        setOpenNotice(SettingsDifferNotice(comPort(), binding(), m_settingsText, set.text()));
    m_negotiationTimer.stop();
    becomeOpen();
}

void Rfc2217Transport::negotiationTimedOut()
{
    if (!opening() || m_socket.state() != QAbstractSocket::ConnectedState)
        return;
    setOpenNotice(SettingsUnconfirmedNotice(comPort(), binding(), m_settingsText));
    becomeOpen();
}

void Rfc2217Transport::sendControl(quint8 value)
{
    if (!m_comPortAgreed || !isOpen())
        return;
    using T = TelnetCodec;
    m_socket.write(T::subnegotiation(T::OptionComPort, T::bytes({SetControl, quint8(value)})));
    m_socket.flush();
}

void Rfc2217Transport::setRequestToSend(bool on)
{
    sendControl(on ? RtsOn : RtsOff);
}

void Rfc2217Transport::setDataTerminalReady(bool on)
{
    sendControl(on ? DtrOn : DtrOff);
}

qint64 Rfc2217Transport::bytesAvailable() const
{
    // Not TcpTransport's count: the socket's bytes still hold Telnet commands, and only what was
    // decoded from them is the device's.
    return m_inbox.size() + QIODevice::bytesAvailable(); // NOLINT(bugprone-parent-virtual-call)
}

qint64 Rfc2217Transport::readData(char *data, qint64 maxSize)
{
    const qint64 count = std::min<qint64>(maxSize, m_inbox.size());
    std::copy_n(m_inbox.constData(), count, data);
    m_inbox.remove(0, count);
    return count;
}

qint64 Rfc2217Transport::writeData(const char *data, qint64 size)
{
    const QByteArray escaped = TelnetCodec::escape(QByteArray::fromRawData(data, size));
    if (m_socket.write(escaped) != escaped.size())
        return -1;
    return size;
}
