#include "instrument.h"

namespace {
// The wire bytes are declared again here on purpose rather than taken from Quillon's framing:
// the simulator is an independent reading of the protocol, so a mistake in one shows in the
// other's tests.
constexpr char STX = 0x02;
constexpr char ETX = 0x03;
constexpr char CNTL_E = 0x05;
constexpr char CNTL_F = 0x06;
constexpr char ACK = 0x06;
constexpr char NAK = 0x15;
const QByteArray kEndOfLine("\r\n");

char xorOf(const QByteArray &bytes)
{
    char sum = 0;
    for (char c : bytes)
        sum = char(sum ^ c);
    return sum;
}
} // namespace

Instrument::Instrument(const Options &options) : m_options(options), m_random(options.seed) { }

QByteArray Instrument::busIdentity(int address)
{
    return "VELK,QSIM-488,QS" + QByteArray::number(address).rightJustified(4, '0') + ",1.0";
}

QByteArray Instrument::checksumFFIdentity(int address)
{
    const QByteArray identity = busIdentity(address);
    const QByteArray packet = QByteArray(1, ACK) + addressChar(address) + identity + ETX;
    const qsizetype comma = identity.lastIndexOf(',');
    return identity.left(comma) + char(xorOf(packet) ^ char(0xFF)) + identity.mid(comma);
}

int Instrument::listenerFor(char address) const
{
    if (address == addressChar(m_options.address))
        return m_options.address;
    for (int other : m_options.bus)
        if (address == addressChar(other))
            return other;
    return -1;
}

QByteArray Instrument::receive(const QByteArray &bytes, QList<Exchange> *exchanges)
{
    QByteArray out;
    for (char c : bytes) {
        // Control characters switch the echo before it applies, as the interface does.
        if (m_buffer.isEmpty() && (c == CNTL_E || c == CNTL_F)) {
            m_echo = c == CNTL_E;
            continue;
        }
        if (m_echo)
            out += c;
        m_buffer += c;
    }
    QByteArray answer;
    while (takeMessage(false, answer, exchanges))
        out += answer;
    return out;
}

qsizetype Instrument::terminatorAt(qsizetype from) const
{
    for (qsizetype i = from; i < m_buffer.size(); ++i)
        if (m_buffer[i] == '\r' || (m_buffer[i] == '\n' && !m_options.crOnly))
            return i;
    return -1;
}

QByteArray Instrument::flushPending(QList<Exchange> *exchanges)
{
    // The sender ended it with LF, which is no end here: it waits for its CR.
    if (m_options.crOnly && m_buffer.contains('\n'))
        return {};
    QByteArray answer;
    if (takeMessage(true, answer, exchanges))
        return answer;
    // Something that cannot be a message (an unfinished packet): forget it.
    m_buffer.clear();
    return {};
}

bool Instrument::takeMessage(bool atIdle, QByteArray &answer, QList<Exchange> *exchanges)
{
    answer.clear();
    // Stray terminators between messages (the LF of a CR LF pair) mean nothing.
    while (!m_buffer.isEmpty() && (m_buffer[0] == '\r' || m_buffer[0] == '\n'))
        m_buffer.remove(0, 1);
    if (m_buffer.isEmpty())
        return false;

    QByteArray message;
    int listener = -1;
    auto record = [&] {
        ++m_messages;
        if (exchanges)
            exchanges->append({message, answer, answer.isEmpty() ? -1 : listener});
        return true;
    };

    if (m_buffer[0] != STX) {
        qsizetype end = terminatorAt(0);
        if (end < 0 && !atIdle)
            return false;
        if (end < 0)
            end = m_buffer.size();
        message = m_buffer.left(end);
        m_buffer.remove(0, end);
        listener = m_options.address;
        if (!m_options.addressedOnly)
            answer = answerMessage(Framing::Plain, listener, message, true);
        return record();
    }

    if (m_buffer.size() < 3 && !atIdle)
        return false;
    if (m_buffer.size() < 2) {
        m_buffer.clear();
        return false;
    }
    listener = listenerFor(m_buffer[1]);
    const bool forUs = listener >= 0;
    if (m_buffer.size() >= 3 && (m_buffer[2] == CNTL_E || m_buffer[2] == CNTL_F)) {
        message = m_buffer.left(3);
        m_buffer.remove(0, 3);
        if (forUs)
            m_echo = message[2] == CNTL_E;
        return record();
    }
    const qsizetype etx = m_buffer.indexOf(ETX, 2);
    const qsizetype end = terminatorAt(2);
    if (etx >= 0 && (end < 0 || etx < end)) {
        if (etx + 1 >= m_buffer.size())
            return false; // its checksum is still on the way
        message = m_buffer.left(etx + 2);
        m_buffer.remove(0, etx + 2);
        const bool checksumOk = xorOf(message.left(etx + 1)) == message.back();
        answer = forUs
                ? answerMessage(Framing::Packet, listener, message.mid(2, etx - 2), checksumOk)
                : QByteArray();
        return record();
    }
    if (end < 0 && !atIdle)
        return false;
    const qsizetype textEnd = end < 0 ? m_buffer.size() : end;
    message = m_buffer.left(textEnd);
    m_buffer.remove(0, textEnd);
    answer = forUs ? answerMessage(Framing::Addressed, listener, message.mid(2), true)
                   : QByteArray();
    return record();
}

QByteArray Instrument::answerMessage(
        Framing framing, int address, const QByteArray &text, bool checksumOk)
{
    if (m_options.silent)
        return {};
    QByteArray answer;
    if (framing == Framing::Packet) {
        if (!checksumOk || m_options.alwaysNak) {
            answer = packet(NAK, address, QByteArray::number(m_esr[address])) + kEndOfLine;
        } else {
            bool isQuery = false;
            const QByteArray reply = execute(address, text, isQuery);
            answer = packet(ACK, address, isQuery ? reply : QByteArray::number(m_esr[address]))
                    + kEndOfLine;
        }
    } else {
        bool isQuery = false;
        const QByteArray reply = execute(address, text, isQuery);
        if (isQuery)
            answer = reply + kEndOfLine;
    }
    answer = fault(answer);
    if (m_options.prompt)
        answer += '>';
    return answer;
}

QByteArray Instrument::execute(int address, const QByteArray &command, bool &isQuery)
{
    const QByteArray header = command.trimmed().toUpper();
    isQuery = header.endsWith('?');
    quint8 &esr = m_esr[address];
    if (header == "*IDN?" && address == m_options.checksumFF)
        return checksumFFIdentity(address);
    if (header == "*IDN?")
        return m_options.bus.isEmpty() ? identity() : busIdentity(address);
    if (header == "*ESR?") {
        const quint8 value = esr;
        esr = 0; // reading the event register clears it
        return QByteArray::number(value);
    }
    if (header == "*STB?")
        return QByteArray::number(esr != 0 ? 0x20 : 0); // ESB: an event is waiting
    if (header == "*OPC?")
        return "1";
    if (header == "*OPC") {
        esr |= OperationComplete;
        return {};
    }
    if (header == "*CLS") {
        esr = 0;
        return {};
    }
    if (header == "*RST")
        return {};
    if (header == "MEAS?" && m_options.ramp) {
        // A reading a test can predict: the n-th query is n, as a meter prints it, sign and all.
        ++m_measurements;
        if (m_options.overloadEvery > 0 && m_measurements % m_options.overloadEvery == 0)
            return "OVLD";
        return '+' + QByteArray::number(double(m_measurements), 'E', 6);
    }
    esr |= CommandError;
    isQuery = false; // an unknown query gets no answer, only the error bit
    return {};
}

QByteArray Instrument::packet(char code, int address, const QByteArray &payload) const
{
    QByteArray frame = QByteArray(1, code) + addressChar(address) + payload + ETX;
    char sum = xorOf(frame);
    if (code == ACK && m_options.badChecksum)
        sum ^= 0x5A;
    return frame + sum;
}

QByteArray Instrument::fault(const QByteArray &answer)
{
    if (m_options.floodBytes > 0) {
        // Lines of 64 bytes, CR LF included, as a chatty instrument would send them.
        QByteArray filler(m_options.floodBytes, '#');
        for (qsizetype i = 62; i + 1 < filler.size(); i += 64) {
            filler[i] = '\r';
            filler[i + 1] = '\n';
        }
        return filler + kEndOfLine;
    }
    if (m_options.garbage) {
        std::uniform_int_distribution<int> length(1, 64), byte(0, 255);
        QByteArray junk(length(m_random), '\0');
        for (char &c : junk)
            c = char(byte(m_random));
        return junk.replace('>', '<') + kEndOfLine; // the prompt keeps its meaning
    }
    return answer;
}
