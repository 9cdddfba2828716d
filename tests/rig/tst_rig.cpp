// The tool on the kernel's own serial drivers: a QEMU guest runs Debian's
// kernel with an emulated 16550 (8250 driver, ttyS1) and an emulated FTDI
// adapter (ftdi_sio, ttyUSB0), both from their boot-time, cooked settings.
// The guest runs this build's scripted technician on them through a read-only view of
// the host; this test plays the BA at the far end of each line.
//
// With RIG_WINDOWS_TECHNICIAN set, the same guest also runs that Windows
// technician under Wine on the steady lines, with COM1 and COM2 mapped to the
// two lines in a Wine profile made here and copied into the guest.
#include <QDir>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <optional>
#include <csignal>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {
constexpr int kBootMs = 180'000;
// A step of the guest's, on TCG with a core kept busy by other work.
constexpr int kStepMs = 120'000;
// Wine's first start in the emulated guest takes half a minute.
constexpr int kWineStartMs = 180'000;
// Wine's open of a quiet real port returns only once a byte has come.
constexpr int kNudgeMs = 250;
constexpr int kRenudgeMs = 10'000;
constexpr int kStreamSeconds = 10;
constexpr int kLineBytesPerSecond = 960;
const QByteArray kReport = QByteArray::fromHex("26312E30303256313033123456789ABCDEF001020A0B");

// One end of a QEMU chardev socket.
class Socket
{
public:
    ~Socket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool connectTo(const QString &path, const QProcess &qemu)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 10'000 && qemu.state() == QProcess::Running) {
            m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            const QByteArray name = QFile::encodeName(path);
            std::memcpy(address.sun_path, name.constData(),
                        size_t(std::min<qsizetype>(name.size(), sizeof address.sun_path - 1)));
            if (::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
                return true;
            ::close(m_fd);
            m_fd = -1;
            QTest::qWait(50);
        }
        return false;
    }
    bool write(const QByteArray &bytes)
    {
        return ::send(m_fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
    }
    // Dropped when the line is full: a closed 16550 stops reading its socket.
    void offer(const QByteArray &bytes)
    {
        (void)::send(m_fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    // What has arrived, waiting up to `ms` for the first of it.
    QByteArray read(int ms = 0)
    {
        QByteArray bytes;
        pollfd p{m_fd, POLLIN, 0};
        while (::poll(&p, 1, bytes.isEmpty() ? ms : 0) > 0) {
            char buffer[4096];
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0)
                break;
            bytes.append(buffer, n);
        }
        return bytes;
    }

private:
    int m_fd = -1;
};

// RTS and DTR edges in QEMU's trace of the 16550's modem control register and
// of the FTDI adapter's SET_MODEM_CTRL requests.
struct ModemEdges
{
    int rtsUp = 0, rtsDown = 0, dtrUp = 0, dtrDown = 0;
};

// `dtr` and `rts`: the lines as they stand where the trace begins.
ModemEdges modemEdges(const QByteArray &trace, bool usb, bool dtr = false, bool rts = false)
{
    static const QRegularExpression mcr(u"serial_write write addr 0x04 val 0x([0-9a-f]+)"_s);
    static const QRegularExpression ftdi(u"usb_serial_handle_control .* got control 0x4001, value 0x([0-9a-f]+)"_s);
    ModemEdges edges;
    for (const QByteArray &line : trace.split('\n')) {
        const auto match = (usb ? ftdi : mcr).match(QString::fromLatin1(line));
        if (!match.hasMatch())
            continue;
        const unsigned value = match.captured(1).toUInt(nullptr, 16);
        // FTDI: bits 8 and 9 say which of DTR (bit 0) and RTS (bit 1) the request sets.
        const bool setsDtr = !usb || (value & 0x100);
        const bool setsRts = !usb || (value & 0x200);
        if (setsDtr && bool(value & 1) != dtr) {
            dtr = !dtr;
            ++(dtr ? edges.dtrUp : edges.dtrDown);
        }
        if (setsRts && bool(value & 2) != rts) {
            rts = !rts;
            ++(rts ? edges.rtsUp : edges.rtsDown);
        }
    }
    return edges;
}
} // namespace

class TestRig : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QProcess m_qemu;
    Socket m_console, m_ttyS1, m_usb, m_qmp;
    QByteArray m_said;        // console output not yet looked at
    QStringList m_transcript; // every console line, for failure messages

    Socket &line(bool usb) { return usb ? m_usb : m_ttyS1; }
    // Waits for a console line matching `pattern`, meanwhile collecting what
    // arrives on `device` into `received`.
    std::optional<QString> waitFor(const QString &pattern, int ms, Socket *device = nullptr,
                                   QByteArray *received = nullptr);
    void run(const QString &command) { m_console.write(command.toUtf8() + '\n'); }
    QByteArray qmp(const QByteArray &command);
    QString guestCommand(int port, const QString &device, const QString &script, bool underWine = false) const;
    // Until the technician holds the port. Under Wine an open returns once a
    // byte has come, so the BA resets meanwhile, once the port is open.
    bool held(Socket &ba, QByteArray *received, qsizetype traceFrom, bool usb, bool underWine);
    bool windows() const { return !m_windowsTechnician.isEmpty(); }
    QString m_windowsTechnician = qEnvironmentVariable("RIG_WINDOWS_TECHNICIAN");
    QByteArray trace() const;

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void streamThroughRealDriver_data();
    void streamThroughRealDriver();
    void usbAdapterReplugged();
    void anotherProgramOnTheLine_data();
    void anotherProgramOnTheLine();
};

std::optional<QString> TestRig::waitFor(const QString &pattern, int ms, Socket *device, QByteArray *received)
{
    const QRegularExpression wanted(pattern);
    QElapsedTimer clock;
    clock.start();
    do {
        m_said += m_console.read(device ? 0 : 20);
        if (device)
            *received += device->read(20);
        for (qsizetype end; (end = m_said.indexOf('\n')) >= 0;) {
            const QString text = QString::fromUtf8(m_said.left(end)).trimmed();
            m_said.remove(0, end + 1);
            m_transcript << text;
            if (wanted.match(text).hasMatch())
                return text;
        }
    } while (clock.elapsed() < ms && m_qemu.state() == QProcess::Running);
    return std::nullopt;
}

QByteArray TestRig::qmp(const QByteArray &command)
{
    m_qmp.write(command + '\n');
    QByteArray reply;
    QElapsedTimer clock;
    clock.start();
    while (!reply.contains("\"return\"") && !reply.contains("\"error\"") && clock.elapsed() < 10'000)
        reply += m_qmp.read(100);
    return reply;
}

QString TestRig::guestCommand(int port, const QString &device, const QString &script, bool underWine) const
{
    if (underWine)
        // Its words go to a file that is followed here: on the console itself
        // Wine's console handling holds them back.
        return u": > /host/run/tmp/said; chroot /host /bin/sh -c 'cd /run/tmp && exec /usr/bin/env "
               u"WINEPREFIX=/run/wine "
               "WINEDEBUG=-all HOME=/run/tmp /usr/lib/wine/wine64 /run/app/%1 --port %2 --script %3 > said 2>&1' & "
               "tool=$!; tail -f /host/run/tmp/said & follow=$!; wait $tool; end=$?; sleep 1; kill $follow; "
               "echo \"@@end $end\""_s.arg(QFileInfo(m_windowsTechnician).fileName())
                       .arg(port)
                       .arg(script);
    // The copy made at boot: a checkout under /tmp is covered for Wine.
    const QString guest = u"/run/linux/"_s + QFileInfo(qEnvironmentVariable("RIG_GUEST")).fileName();
    return u"mkdir -p /host/run/ports && ln -sf %1 /host/run/ports/com%2 && "
           "chroot /host /usr/bin/env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/run/user "
           "HOME=/run/tmp TMPDIR=/run/tmp %3 --ports /run/ports --port %2 --script %4; echo \"@@end $?\""_s.arg(device)
                   .arg(port)
                   .arg(guest, script);
}

bool TestRig::held(Socket &ba, QByteArray *received, qsizetype traceFrom, bool usb, bool underWine)
{
    if (!underWine)
        return waitFor(u"^held "_s, kStepMs, &ba, received).has_value();
    QElapsedTimer clock, nudged;
    clock.start();
    while (clock.elapsed() < kWineStartMs) {
        if (waitFor(u"^held "_s, kNudgeMs, &ba, received))
            return true;
        // Not before the open has raised DTR: bytes waiting before it would
        // meet the line before Wine has made it raw, and be echoed. One report
        // is the report; another only if that one went nowhere.
        if ((!nudged.isValid() || nudged.elapsed() > kRenudgeMs) && modemEdges(trace().mid(traceFrom), usb).dtrUp > 0) {
            ba.offer(kReport);
            nudged.start();
        }
    }
    return false;
}

QByteArray TestRig::trace() const
{
    QFile file(m_dir.filePath(u"trace.log"_s));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TestRig::initTestCase()
{
    const QString qemu = QStandardPaths::findExecutable(u"qemu-system-x86_64"_s);
    if (qemu.isEmpty())
        QSKIP("QEMU can't run here: qemu-system-x86_64 is not installed (scripts/setup rig installs it)");
    QString cache = qEnvironmentVariable("RIG_CACHE");
    if (cache.isEmpty())
        cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + u"/calvarin/rig"_s;

    QProcess make;
    make.setProcessChannelMode(QProcess::MergedChannels);
    make.start(qEnvironmentVariable("RIG_MAKE_GUEST"), {cache});
    QVERIFY2(make.waitForFinished(240'000) && make.exitCode() == 0,
             qPrintable(u"the guest could not be made: "_s + QString::fromLocal8Bit(make.readAll())));
    // The Wine profile is made here, where it takes seconds, with the guest's lines as COM1 and COM2.
    if (windows())
        QCOMPARE(QProcess::execute(qEnvironmentVariable("RIG_MAKE_PREFIX"),
                                   {m_dir.filePath(u"wine"_s), u"COM1=/dev/ttyS1"_s, u"COM2=/dev/ttyUSB0"_s}),
                 0);

    const QString d = m_dir.path();
    m_qemu.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // A suite killed at its time limit takes the guest with it.
    m_qemu.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    // One option and its value a line.
    // clang-format off
    m_qemu.start(qemu, {
        u"-accel"_s, u"tcg"_s, u"-m"_s, windows() ? u"2048"_s : u"1024"_s,
        u"-nodefaults"_s, u"-display"_s, u"none"_s, u"-no-reboot"_s,
        u"-kernel"_s, cache + u"/vmlinuz"_s, u"-initrd"_s, cache + u"/initramfs.gz"_s,
        u"-append"_s, u"console=hvc0 quiet loglevel=3 panic=-1"_s,
        // The control shell, on a virtio console: never on a UART the tool might take.
        u"-device"_s, u"virtio-serial-pci"_s,
        u"-chardev"_s, u"socket,id=con,path=%1/console,server=on,wait=off"_s.arg(d),
        u"-device"_s, u"virtconsole,chardev=con"_s,
        u"-chardev"_s, u"socket,id=ba,path=%1/ttyS1,server=on,wait=off"_s.arg(d),
        u"-device"_s, u"isa-serial,index=1,chardev=ba"_s,
        u"-device"_s, u"qemu-xhci,id=usbhc"_s,
        u"-chardev"_s, u"socket,id=usbba,path=%1/usb,server=on,wait=off"_s.arg(d),
        u"-device"_s, u"usb-serial,id=usbser,bus=usbhc.0,chardev=usbba"_s,
        u"-qmp"_s, u"unix:%1/qmp,server=on,wait=off"_s.arg(d),
        u"-virtfs"_s, u"local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap"_s,
        u"-trace"_s, u"enable=serial_write"_s, u"-trace"_s, u"enable=usb_serial_handle_control"_s,
        u"-D"_s, d + u"/trace.log"_s,
    });
    // clang-format on
    if (!m_qemu.waitForStarted(10'000))
        QSKIP(qPrintable(u"QEMU can't run here: "_s + m_qemu.errorString()));
    // The adapter is attached only while its socket has a peer: stay connected throughout.
    const bool connected = m_console.connectTo(d + u"/console"_s, m_qemu) && m_ttyS1.connectTo(d + u"/ttyS1"_s, m_qemu)
            && m_usb.connectTo(d + u"/usb"_s, m_qemu) && m_qmp.connectTo(d + u"/qmp"_s, m_qemu);
    if (!connected && m_qemu.state() != QProcess::Running)
        QSKIP(qPrintable(u"QEMU can't run here: it exited with code %1"_s.arg(m_qemu.exitCode())));
    QVERIFY(connected);
    QVERIFY(qmp(R"({"execute":"qmp_capabilities"})").contains("return"));
    const auto ready = waitFor(u"^@@ready"_s, kBootMs);
    QVERIFY2(ready, qPrintable(u"the guest did not boot: "_s + m_transcript.join(u'\n')));
    qInfo("guest up: %s", qPrintable(*ready));
    run(u"mkdir -p /host/run/linux && cp /host%1 /host/run/linux/ && echo @@copied"_s.arg(
            QFileInfo(qEnvironmentVariable("RIG_GUEST")).absoluteFilePath()));
    QVERIFY2(waitFor(u"^@@copied"_s, kBootMs), qPrintable(m_transcript.join(u'\n')));
    if (windows()) {
        // Wine writes to its profile and keeps its server's socket under /tmp.
        // It loads the program's DLLs wrongly through the 9p view, so the
        // program comes along, as it ships, with the offscreen platform. All
        // is copied before /tmp is covered: a checkout may live there.
        const QString bin = QFileInfo(m_windowsTechnician).absolutePath();
        run(u"cp -a /host%1 /host/run/wine && mkdir -p /host/run/app/platforms "
            "&& cp /host%2 /host%3/*.dll /host/run/app/ && cp /host%3/platforms/qoffscreen.dll "
            "/host/run/app/platforms/ && mount -t tmpfs tmp /host/tmp "
            "&& echo @@profile"_s.arg(m_dir.filePath(u"wine"_s), m_windowsTechnician, bin));
        QVERIFY2(waitFor(u"^@@profile"_s, kBootMs), qPrintable(m_transcript.join(u'\n')));
    }
}

void TestRig::cleanupTestCase()
{
    if (m_qemu.state() != QProcess::Running)
        return;
    run(u"poweroff -f"_s);
    if (!m_qemu.waitForFinished(10'000)) {
        m_qemu.kill();
        m_qemu.waitForFinished();
    }
}

void TestRig::streamThroughRealDriver_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("device");
    QTest::addColumn<bool>("usb");
    QTest::addColumn<bool>("underWine");
    for (const bool underWine : {false, true}) {
        if (underWine && !windows())
            break;
        const char *build = underWine ? "Windows under Wine" : "Linux";
        QTest::addRow("%s, 8250, ttyS1", build) << 1 << u"/dev/ttyS1"_s << false << underWine;
        QTest::addRow("%s, ftdi_sio, ttyUSB0", build) << 2 << u"/dev/ttyUSB0"_s << true << underWine;
    }
}

void TestRig::streamThroughRealDriver()
{
    QFETCH(int, port);
    QFETCH(QString, device);
    QFETCH(bool, usb);
    QFETCH(bool, underWine);
    Socket &ba = line(usb);
    const qsizetype traceFrom = trace().size();
    const auto transcript = [this] { return m_transcript.join(u'\n').toLocal8Bit(); };

    QByteArray received = ba.read();
    run(guestCommand(port, device, u"open,report,adjust,stream,exit"_s, underWine));
    QVERIFY2(held(ba, &received, traceFrom, usb, underWine), transcript().constData());
    const qsizetype heldFrom = trace().size();
    if (!underWine)
        QVERIFY(ba.write(kReport));
    QVERIFY2(waitFor(u"^report 1.0\\|02\\|V103\\|1234\\|5678\\|9ABC\\|DEF0\\|0102\\|0A0B$"_s, kStepMs, &ba, &received),
             transcript().constData());
    QVERIFY2(waitFor(u"^test mode"_s, kStepMs, &ba, &received), transcript().constData());

    // Numbered bytes at the line's rate, through about 20 re-opens; every
    // control character comes by many times.
    qint64 sent = 0;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < kStreamSeconds * 1000) {
        QByteArray chunk;
        for (const qint64 due = clock.elapsed() * kLineBytesPerSecond / 1000; sent < due; ++sent)
            chunk += char(sent & 0xFF);
        QVERIFY(ba.write(chunk));
        (void)waitFor(u"(?!)"_s, 5, &ba, &received); // never matches: only collects
    }
    const auto logged = waitFor(u"^logged "_s, kStepMs, &ba, &received);
    QVERIFY2(logged, transcript().constData());
    const QByteArray traced = trace();
    QVERIFY2(waitFor(u"^@@end 0"_s, kStepMs, &ba, &received), transcript().constData());
    received += ba.read(200);

    const ModemEdges edges = modemEdges(trace().mid(traceFrom), usb);
    const ModemEdges beforeHold = modemEdges(traced.mid(traceFrom, heldFrom - traceFrom), usb);
    const ModemEdges untilLogged = modemEdges(traced.mid(traceFrom), usb);
    const int rtsWhileHeld = untilLogged.rtsUp + untilLogged.rtsDown - beforeHold.rtsUp - beforeHold.rtsDown;
    const int dtrWhileHeld = untilLogged.dtrUp + untilLogged.dtrDown - beforeHold.dtrUp - beforeHold.dtrDown;
    qInfo("%s: sent %lld, guest %s; back to the device: %s; RTS up %d down %d, DTR up %d down %d; "
          "edges while held: RTS %d, DTR %d",
          qPrintable(device), static_cast<long long>(sent), qPrintable(*logged), received.toHex(' ').constData(),
          edges.rtsUp, edges.rtsDown, edges.dtrUp, edges.dtrDown, rtsWhileHeld, dtrWhileHeld);
    // Only the enter and leave commands come back: nothing is echoed.
    QCOMPARE(received.toHex(' '), QByteArray("6e 14 63 63"));
    QCOMPARE(*logged, u"logged %1 lost 0 disorder 0"_s.arg(sent));
    // DTR goes up at the open and stays up until the tool lets go; RTS stays
    // down, but for the kernel's own raise at the open, cleared at once.
    QCOMPARE(rtsWhileHeld, 0);
    QCOMPARE(dtrWhileHeld, 0);
    QCOMPARE(edges.dtrUp, 1);
    if (!underWine) {
        QCOMPARE(edges.dtrDown, 1);
        QVERIFY2(edges.rtsUp <= 1, "RTS pulsed beyond the open's own");
    }
}

void TestRig::usbAdapterReplugged()
{
    // The Linux build only; the Windows build is checked on a steady line.
    Socket &ba = m_usb;
    const auto transcript = [this] { return m_transcript.join(u'\n').toLocal8Bit(); };
    QByteArray received = ba.read();
    run(guestCommand(2, u"/dev/ttyUSB0"_s, u"open,report,gone,reopen,report"_s));
    QVERIFY2(waitFor(u"^held "_s, kStepMs, &ba, &received), transcript().constData());
    QVERIFY(ba.write(kReport));
    QVERIFY2(waitFor(u"^report 1.0\\|02\\|V103\\|1234"_s, kStepMs, &ba, &received), transcript().constData());

    QByteArray reply = qmp(R"({"execute":"device_del","arguments":{"id":"usbser"}})");
    QVERIFY2(reply.contains("\"return\""), reply.constData());
    QVERIFY2(waitFor(u"^gone "_s, kStepMs, &ba, &received), transcript().constData());
    // The adapter is gone for QEMU too before it can come back under its id.
    for (QElapsedTimer wait; !reply.contains("DEVICE_DELETED");) {
        wait.isValid() || (wait.start(), true);
        QVERIFY2(wait.elapsed() < 10'000, reply.constData());
        reply += m_qmp.read(100);
    }
    QElapsedTimer clock;
    clock.start();
    reply = qmp(R"({"execute":"device_add","arguments":{"driver":"usb-serial","id":"usbser",)"
                R"("bus":"usbhc.0","chardev":"usbba"}})");
    QVERIFY2(reply.contains("\"return\""), reply.constData());
    QVERIFY2(waitFor(u"^held again"_s, kStepMs, &ba, &received), transcript().constData());
    const qint64 heldAgainMs = clock.elapsed();
    // The replugged adapter comes back cooked; the report still arrives whole.
    QVERIFY(ba.write(kReport));
    QVERIFY2(waitFor(u"^report "_s, kStepMs, &ba, &received), transcript().constData());
    QVERIFY2(waitFor(u"^@@end 0"_s, kStepMs, &ba, &received), transcript().constData());
    qInfo("ttyUSB0 held again %lld ms after the replug", static_cast<long long>(heldAgainMs));
    QCOMPARE(received.toHex(' '), QByteArray());
    QVERIFY2(heldAgainMs <= 2000, qPrintable(u"held again after %1 ms"_s.arg(heldAgainMs)));
}

void TestRig::anotherProgramOnTheLine_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("device");
    QTest::addColumn<bool>("usb");
    // First: it holds the line with flock alone and keeps RTS and DTR low, as
    // for a board reset. Else: root raises RTS and drops DTR while the tool holds it.
    QTest::addColumn<bool>("first");
    for (const bool first : {true, false}) {
        const char *what = first ? "flock holder first" : "modem lines changed while held";
        QTest::addRow("8250, ttyS1, %s", what) << 1 << u"/dev/ttyS1"_s << false << first;
        QTest::addRow("ftdi_sio, ttyUSB0, %s", what) << 2 << u"/dev/ttyUSB0"_s << true << first;
    }
}

void TestRig::anotherProgramOnTheLine()
{
    QFETCH(int, port);
    QFETCH(QString, device);
    QFETCH(bool, usb);
    QFETCH(bool, first);
    Socket &ba = line(usb);
    QByteArray received = ba.read();
    const auto transcript = [this] { return m_transcript.join(u'\n').toLocal8Bit(); };
    constexpr int kToolSeconds = 10;
    // In the background: the console runs one command at a time.
    const QString tool = u"(%1) &"_s.arg(
            guestCommand(port, device, u"open,report"_s)
                    .replace(u"chroot /host /usr/bin/env"_s,
                             u"chroot /host /usr/bin/timeout %1 /usr/bin/env"_s.arg(kToolSeconds)));
    // TIOCMBIC 0x5417 and TIOCMBIS 0x5416; RTS is 4, DTR 2.
    const QString perl = u"chroot /host /usr/bin/perl -e 'use Fcntl qw(:DEFAULT :flock); "
                         "sysopen(my $f, \"%1\", O_RDWR|O_NOCTTY|O_NONBLOCK) or die; %2'"_s.arg(device);
    qsizetype traceFrom = 0;
    std::optional<QString> holder;
    if (first) {
        run(perl.arg(u"flock($f, LOCK_EX) or die; my $low = pack(\"i\", 6); ioctl($f, 0x5417, $low) or die; "
                     "print \"\\@\\@holding $$\\n\"; sleep %1"_s.arg(kToolSeconds + 8))
            + u" &"_s);
        holder = waitFor(u"^@@holding "_s, kStepMs, &ba, &received);
        QVERIFY2(holder, transcript().constData());
        traceFrom = trace().size();
        run(tool);
    } else {
        run(tool);
        QVERIFY2(waitFor(u"^held "_s, kStepMs, &ba, &received), transcript().constData());
        traceFrom = trace().size();
        // Then a tick and a half with the line kept open.
        run(perl.arg(u"my $rts = pack(\"i\", 4); my $dtr = pack(\"i\", 2); ioctl($f, 0x5416, $rts) or die; "
                     "ioctl($f, 0x5417, $dtr) or die; select(undef, undef, undef, 1.5); "
                     "print \"\\@\\@meddled\\n\""_s));
        QVERIFY2(waitFor(u"^@@meddled"_s, kStepMs, &ba, &received), transcript().constData());
    }
    const auto letGo = qScopeGuard([&] {
        if (holder)
            run(u"kill %1"_s.arg(holder->section(u' ', 1)));
    });
    // Held: before the tool's end, whose close drops DTR.
    const QByteArray traced = first ? QByteArray() : trace().mid(traceFrom);
    QVERIFY2(waitFor(u"^@@end "_s, kStepMs, &ba, &received), transcript().constData());
    const ModemEdges edges = modemEdges(first ? trace().mid(traceFrom) : traced, usb, !first, false);
    qInfo("%s: RTS up %d down %d, DTR up %d down %d", qPrintable(device), edges.rtsUp, edges.rtsDown, edges.dtrUp,
          edges.dtrDown);
    QCOMPARE(received.toHex(' '), QByteArray());
    if (first) {
        // Never opened, so neither line raised; the tooltip names the holder.
        QCOMPARE(edges.rtsUp + edges.dtrUp, 0);
        const QRegularExpression refused(u"^status .*: in use by process %1$"_s.arg(holder->section(u' ', 1)));
        QVERIFY2(m_transcript.indexOf(refused) >= 0, transcript().constData());
        return;
    }
    QVERIFY2(edges.dtrDown >= 1 && edges.rtsUp >= 1, "the other program's change did not reach the line");
    QCOMPARE(edges.rtsUp - edges.rtsDown, 0); // RTS down again
    QCOMPARE(edges.dtrUp - edges.dtrDown, 0); // DTR up again
}

QTEST_GUILESS_MAIN(TestRig)
#include "tst_rig.moc"
