#include "basimulator.h"

namespace {
constexpr quint8 kMarker = 0x26;
constexpr quint8 kPrefixN = 0x6E;
constexpr quint8 kPrefixC = 0x63;
constexpr quint8 kEnterTestMode = 0x14;
constexpr quint8 kClearEeprom = 0x16;
constexpr quint8 kLeaveTestMode = 0x63;
constexpr int kPaceTickMs = 5;
// What the white card makes the BA send: a sweep of readings.
const QByteArray kCardReadings = QByteArray::fromHex("05 0C 19 2A 3E 55 6B 80 94 A7 B8 C6 D1");

QByteArray fit(const QByteArray &text, int size)
{
    return text.left(size).leftJustified(size, ' ');
}

QString hexPair(quint8 a, quint8 b)
{
    const char bytes[] = {char(a), char(b)};
    return QString::fromLatin1(QByteArray(bytes, 2).toHex(' ').toUpper());
}
} // namespace

QByteArray BaIdentity::report() const
{
    QByteArray bytes(1, char(kMarker));
    bytes += fit(system, 3) + fit(device, 2) + fit(validate, 4);
    for (const quint16 value : values) {
        bytes += char(value >> 8);
        bytes += char(value & 0xFF);
    }
    return bytes;
}

BaSimulator::BaSimulator(BaIdentity identity, int bytesPerSecond, QObject *parent)
    : QObject(parent)
    , m_identity(identity)
    , m_bytesPerSecond(bytesPerSecond)
{
    m_pacer.setInterval(kPaceTickMs);
    m_pacer.setTimerType(Qt::PreciseTimer);
    connect(&m_pacer, &QTimer::timeout, this, &BaSimulator::pace);
    m_clock.start();
}

void BaSimulator::reset()
{
    m_testMode = false;
    m_first = -1;
    m_queue += m_identity.report();
    Q_EMIT said(QStringLiteral("reset: sending the report"));
    m_pacer.start();
}

void BaSimulator::insertCard()
{
    if (!m_testMode) {
        Q_EMIT said(QStringLiteral("card: ignored, not in test mode"));
        return;
    }
    m_queue += QByteArray(kCardReadings);
    Q_EMIT said(QStringLiteral("card: sending %1 readings").arg(kCardReadings.size()));
    m_pacer.start();
}

void BaSimulator::startStream(int bytesPerSecond)
{
    m_streamRate = bytesPerSecond;
    m_pacer.start();
}

void BaSimulator::receive(const QByteArray &bytes)
{
    for (const char c : bytes) {
        const auto byte = static_cast<quint8>(c);
        if (m_first >= 0) {
            const auto first = static_cast<quint8>(std::exchange(m_first, -1));
            onCommand(first, byte);
        } else if (byte == kPrefixN || byte == kPrefixC) {
            m_first = byte;
        } else {
            Q_EMIT said(QStringLiteral("received %1: not a command")
                                .arg(QString::fromLatin1(QByteArray(1, c).toHex().toUpper())));
        }
    }
}

void BaSimulator::onCommand(quint8 first, quint8 second)
{
    const QString bytes = hexPair(first, second);
    if (first == kPrefixN && second == kEnterTestMode) {
        m_testMode = true;
        m_queue += char(first);
        m_queue += char(second);
        m_pacer.start();
        Q_EMIT said(QStringLiteral("received %1: enter test mode").arg(bytes));
    } else if (first == kPrefixC && second == kLeaveTestMode) {
        m_testMode = false;
        Q_EMIT said(QStringLiteral("received %1: leave test mode").arg(bytes));
    } else if (first == kPrefixN && second == kClearEeprom) {
        // An erased EEPROM reads all ones.
        m_identity.values.fill(0xFFFF);
        Q_EMIT said(QStringLiteral("received %1: clear EEPROM").arg(bytes));
    } else {
        Q_EMIT said(QStringLiteral("received %1: not a command").arg(bytes));
    }
}

QByteArray BaSimulator::take(qint64 budget)
{
    QByteArray out = m_queue.left(budget);
    m_queue.remove(0, out.size());
    return out;
}

void BaSimulator::pace()
{
    const qint64 now = m_clock.elapsed();
    const qint64 elapsed = now - std::exchange(m_lastTick, now);
    // Never bank more than one tick's worth of idle time.
    const double cap = double(m_bytesPerSecond) * (kPaceTickMs * 2) / 1000.0;
    m_credit = std::min(m_credit + double(m_bytesPerSecond) * double(elapsed) / 1000.0, std::max(cap, 1.0));
    QByteArray out = take(qint64(m_credit));
    m_credit -= out.size();

    if (m_streamRate > 0) {
        // A late tick catches up, up to a quarter second: the rate holds even
        // when the event loop is busy for a while.
        constexpr double kCatchUpSeconds = 0.25;
        const double streamCap = m_streamRate * kCatchUpSeconds;
        m_streamCredit = std::min(m_streamCredit + m_streamRate * elapsed / 1000.0, std::max(streamCap, 1.0));
        const qint64 room = std::max<qint64>(0, kMaxBacklogBytes - m_backlog() - out.size());
        const qint64 count = std::min<qint64>(qint64(m_streamCredit), room);
        m_streamCredit -= double(count);
        for (qint64 i = 0; i < count; ++i)
            out += char(m_streamed++ & 0xFF);
    }
    if (!out.isEmpty())
        Q_EMIT transmit(out);
    if (m_queue.isEmpty() && m_streamRate == 0)
        m_pacer.stop();
}
