#include "line/transport/rfc2217transport.h"

#include "line/transport/networkmessages.h"

#include <QtEndian>

#include <algorithm>
#include <limits>
#include <utility>

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

// The server's values, read back; none for a value RFC 2217 does not define.
std::optional<QSerialPort::Parity> parityFromCode(quint32 code)
{
    switch (code) {
    case 1:
        return QSerialPort::NoParity;
    case 2:
        return QSerialPort::OddParity;
    case 3:
        return QSerialPort::EvenParity;
    case 4:
        return QSerialPort::MarkParity;
    case 5:
        return QSerialPort::SpaceParity;
    default:
        return std::nullopt;
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

std::optional<QSerialPort::StopBits> stopFromCode(quint32 code)
{
    switch (code) {
    case 1:
        return QSerialPort::OneStop;
    case 2:
        return QSerialPort::TwoStop;
    case 3:
        return QSerialPort::OneAndHalfStop;
    default:
        return std::nullopt;
    }
}

std::optional<QSerialPort::DataBits> dataBitsFromCode(quint32 code)
{
    if (code < 5 || code > 8)
        return std::nullopt;
    return QSerialPort::DataBits(code);
}

std::optional<qint32> baudFromCode(quint32 code)
{
    if (code == 0 || code > quint32(std::numeric_limits<qint32>::max()))
        return std::nullopt;
    return qint32(code);
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
    m_comPortRefused = false;
    m_malformedReported = false;
    m_refusedWill.reset();
    m_refusedDo.reset();
    startSettling();
    TcpTransport::startOpen(settings);
}

void Rfc2217Transport::close()
{
    m_negotiationTimer.stop();
    const bool wasSettling = std::exchange(m_settling, false);
    m_heldWrites.clear();
    TcpTransport::close();
    if (wasSettling)
        emit settingsSettled();
}

void Rfc2217Transport::connectionMade()
{
    tuneSocket();
    // Binary both ways, so that CR and 0xFF pass as data; no go-ahead; and the option that
    // lets this side set the line.
    using T = TelnetCodec;
    writeToServer(T::negotiation(T::WILL, T::OptionBinary) + T::negotiation(T::DO, T::OptionBinary)
            + T::negotiation(T::WILL, T::OptionSuppressGoAhead)
            + T::negotiation(T::DO, T::OptionSuppressGoAhead)
            + T::negotiation(T::WILL, T::OptionComPort));
    m_socket.flush();
    m_negotiationTimer.start(std::min(NegotiationTimeoutMs, openTimeLeftMs()));
}

void Rfc2217Transport::socketReadable()
{
    const qsizetype before = m_inbox.size();
    decodeSocket();
    if (isOpen() && m_inbox.size() > before)
        emit readyRead();
}

void Rfc2217Transport::decodeSocket()
{
    // A chunk at a time, so that a flood of commands is handled in pieces of fixed size and the
    // inbox never grows past twice its limit.
    while (m_inbox.size() < InboxLimitBytes && m_socket.isReadable()
            && m_socket.bytesAvailable() > 0) {
        QList<TelnetCodec::Command> commands;
        m_telnet.decode(m_socket.read(InboxLimitBytes), m_inbox, commands);
        for (const TelnetCodec::Command &command : commands)
            handleCommand(command);
    }
}

QByteArray Rfc2217Transport::unreadData()
{
    decodeSocket();
    // A busy server writes its refusal and closes without reading: our answer to its options
    // then meets a reset, and the socket gives up before it has read the refusal. Decoded on a
    // copy, so that nothing is taken twice.
    QByteArray words = m_inbox.left(256);
    TelnetCodec codec = m_telnet;
    QList<TelnetCodec::Command> ignored;
    codec.decode(peekSystemBuffer(), words, ignored);
    return words.left(256);
}

void Rfc2217Transport::handleCommand(const TelnetCodec::Command &command)
{
    using T = TelnetCodec;
    const quint8 option = command.option;
    const bool ours = option == T::OptionBinary || option == T::OptionSuppressGoAhead
            || option == T::OptionComPort;
    // Each refusal is said once, until the server changes its mind: a server that repeats a
    // request gets no answer to each repetition. Our own options were offered when the
    // connection was made; answering again would start a negotiation loop.
    switch (command.verb) {
    case T::DO:
        if (option == T::OptionComPort) {
            m_comPortRefused = false;
            if (!std::exchange(m_comPortAgreed, true))
                sendLineSettings();
        } else if (!ours && !m_refusedDo.test(option)) {
            m_refusedDo.set(option);
            answer(T::WONT, option);
        }
        break;
    case T::DONT:
        m_refusedDo.reset(option);
        if (option == T::OptionComPort) {
            m_comPortRefused = true;
            endSettling(SettingsUnconfirmedNotice(comPort(), binding(), m_settingsText));
        }
        break;
    case T::WILL:
        if (!ours && !m_refusedWill.test(option)) {
            m_refusedWill.set(option);
            answer(T::DONT, option);
        }
        break;
    case T::WONT:
        m_refusedWill.reset(option);
        break;
    case T::SB:
        if (command.dropped) {
            if (!std::exchange(m_malformedReported, true))
                emit notice(MalformedTelnetNotice(comPort(), binding()));
        } else if (option == T::OptionComPort) {
            handleServerReply(command.payload);
        }
        break;
    default:
        break;
    }
}

void Rfc2217Transport::answer(quint8 verb, quint8 option)
{
    if (m_socket.bytesToWrite() <= AnswerBacklogBytes)
        writeToServer(TelnetCodec::negotiation(verb, option));
}

void Rfc2217Transport::sendLineSettings()
{
    // A server that reads nothing would not answer them either.
    if (m_socket.bytesToWrite() > AnswerBacklogBytes)
        return;
    using T = TelnetCodec;
    QByteArray baud(4, '\0');
    qToBigEndian(quint32(m_settings.baudRate), baud.data());
    writeToServer(T::subnegotiation(T::OptionComPort, char(SetBaudRate) + baud)
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
    const char *what = nullptr;
    quint32 number = 0;
    bool known = false;
    if (code == ServerOffset + SetBaudRate && value.size() == 4) {
        what = "baud rate";
        number = qFromBigEndian<quint32>(value.constData());
        m_confirmedBaud = baudFromCode(number);
        known = m_confirmedBaud.has_value();
    } else if (code > ServerOffset + SetBaudRate && code <= ServerOffset + SetStopSize
            && value.size() == 1) {
        number = quint8(value[0]);
        if (code == ServerOffset + SetDataSize) {
            what = "data size";
            m_confirmedDataBits = dataBitsFromCode(number);
            known = m_confirmedDataBits.has_value();
        } else if (code == ServerOffset + SetParity) {
            what = "parity";
            m_confirmedParity = parityFromCode(number);
            known = m_confirmedParity.has_value();
        } else {
            what = "stop size";
            m_confirmedStopBits = stopFromCode(number);
            known = m_confirmedStopBits.has_value();
        }
    } else {
        return; // line and modem state notices, and replies to SET-CONTROL
    }
    if (!known) {
        endSettling(BadServerValueNotice(comPort(), binding(), m_settingsText, what, number));
        return;
    }
    if (!m_confirmedBaud || !m_confirmedDataBits || !m_confirmedParity || !m_confirmedStopBits)
        return;
    SerialSettings set;
    set.baudRate = *m_confirmedBaud;
    set.dataBits = *m_confirmedDataBits;
    set.parity = *m_confirmedParity;
    set.stopBits = *m_confirmedStopBits;
    endSettling(set.text() == m_settingsText
                    ? QString()
                    : SettingsDifferNotice(comPort(), binding(), m_settingsText, set.text()));
}

void Rfc2217Transport::startSettling()
{
    m_settling = true;
    m_confirmedBaud.reset();
    m_confirmedDataBits.reset();
    m_confirmedParity.reset();
    m_confirmedStopBits.reset();
}

void Rfc2217Transport::endSettling(const QString &text)
{
    if (!std::exchange(m_settling, false))
        return; // answers nobody waits for, or a second answer to the same request
    m_negotiationTimer.stop();
    if (opening()) {
        setOpenNotice(text);
        becomeOpen();
        return;
    }
    if (!text.isEmpty())
        emit notice(text);
    if (!m_heldWrites.isEmpty()) {
        const QByteArray held = std::exchange(m_heldWrites, QByteArray());
        writeToServer(TelnetCodec::escape(held));
        m_socket.flush();
    }
    emit settingsSettled();
}

void Rfc2217Transport::negotiationTimedOut()
{
    if (opening() && m_socket.state() != QAbstractSocket::ConnectedState)
        return;
    endSettling(SettingsUnconfirmedNotice(comPort(), binding(), m_settingsText));
}

bool Rfc2217Transport::applySettings(const SerialSettings &settings)
{
    if (!isOpen())
        return false;
    m_settings = settings;
    m_settingsText = settings.text();
    if (m_comPortRefused) {
        emit notice(SettingsUnconfirmedNotice(comPort(), binding(), m_settingsText));
        return true;
    }
    startSettling();
    m_negotiationTimer.start(NegotiationTimeoutMs);
    // Without the server's consent so far, they go once it agrees to the option.
    if (m_comPortAgreed)
        sendLineSettings();
    return true;
}

void Rfc2217Transport::sendControl(quint8 value)
{
    if (!m_comPortAgreed || !isOpen())
        return;
    using T = TelnetCodec;
    writeToServer(T::subnegotiation(T::OptionComPort, T::bytes({SetControl, quint8(value)})));
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
    // What the socket held back while the inbox was full has no signal of its own to come.
    decodeSocket();
    const qint64 count = std::min<qint64>(maxSize, m_inbox.size());
    std::copy_n(m_inbox.constData(), count, data);
    m_inbox.remove(0, count);
    return count;
}

qint64 Rfc2217Transport::writeData(const char *data, qint64 size)
{
    if (m_settling) {
        m_heldWrites.append(data, size);
        return size;
    }
    const QByteArray escaped = TelnetCodec::escape(QByteArray::fromRawData(data, size));
    if (!writeToServer(escaped))
        return -1;
    return size;
}

bool Rfc2217Transport::writeToServer(const QByteArray &bytes)
{
    // A server that has closed the connection is reported as a loss once; what would still go
    // to it goes nowhere, without a word from the socket for every write.
    if (!m_socket.isOpen())
        return false;
    return m_socket.write(bytes) == bytes.size();
}
