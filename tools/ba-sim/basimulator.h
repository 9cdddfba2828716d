#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <array>
#include <functional>

// What the simulated BA reports about itself.
struct BaIdentity
{
    QByteArray system = "1.0";    // 3 characters
    QByteArray device = "02";     // 2 characters
    QByteArray validate = "V103"; // 4 characters
    std::array<quint16, 6> values = {0x1234, 0x5678, 0x9ABC, 0xDEF0, 0x0102, 0x0A0B};

    // 0x26 and 21 bytes; short texts are padded with blanks, long ones cut.
    QByteArray report() const;
};

// A demonstration BA: answers the tool's commands and sends at a line's pace.
// This behaviour is made up for demos and tests, not taken from a device.
class BaSimulator final : public QObject
{
    Q_OBJECT

public:
    static constexpr int kLineBytesPerSecond = 960; // 9600 baud, 10 bits a byte

    explicit BaSimulator(BaIdentity identity, int bytesPerSecond = kLineBytesPerSecond, QObject *parent = nullptr);

    bool testMode() const { return m_testMode; }
    const BaIdentity &identity() const { return m_identity; }
    qint64 streamed() const { return m_streamed; }
    bool streaming() const { return m_streamRate > 0; }

    // Technician's actions at the BA.
    void reset();
    void insertCard();
    // Numbered bytes (0, 1, ... 255, 0, ...) at `bytesPerSecond`, for benchmarks.
    void startStream(int bytesPerSecond);
    // How many bytes wait unsent on the line; the stream makes no more than
    // kMaxBacklogBytes wait, whatever rate it was asked for.
    void setBacklog(std::function<qint64()> backlog) { m_backlog = std::move(backlog); }
    static constexpr qint64 kMaxBacklogBytes = 64 * 1024;

    // Bytes from the tool.
    void receive(const QByteArray &bytes);

    // Takes up to `budget` paced bytes; called by the pacing timer, or by a
    // test driving the clock itself.
    QByteArray take(qint64 budget);

Q_SIGNALS:
    void transmit(const QByteArray &bytes);
    void said(const QString &line);

private:
    void onCommand(quint8 first, quint8 second);
    void pace();

    BaIdentity m_identity;
    bool m_testMode = false;
    int m_first = -1; // first byte of a command under way
    QByteArray m_queue;
    int m_bytesPerSecond;
    int m_streamRate = 0;
    qint64 m_streamed = 0;
    double m_credit = 0;
    double m_streamCredit = 0;
    std::function<qint64()> m_backlog = [] { return qint64(0); };
    QTimer m_pacer;
    QElapsedTimer m_clock;
    qint64 m_lastTick = 0;
};
