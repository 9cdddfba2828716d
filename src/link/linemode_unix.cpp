#include "linemode.h"

#include "linesettings.h"

#include <algorithm>

termios LineMode::raw(const termios &from)
{
    static_assert(LineSettings::kBaudRate == 9600 && LineSettings::kDataBits == 8 && LineSettings::kStopBits == 1
                  && !LineSettings::kHardwareFlowControl);
    termios raw = from;
    ::cfmakeraw(&raw);
    raw.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    raw.c_cflag &= ~tcflag_t(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS);
    raw.c_cflag |= CS8 | CLOCAL | CREAD;
    if (LineSettings::kEvenParity)
        raw.c_cflag |= PARENB;
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    ::cfsetispeed(&raw, B9600);
    ::cfsetospeed(&raw, B9600);
    return raw;
}

bool LineMode::same(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag
            && a.c_line == b.c_line && std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc)
            && ::cfgetispeed(&a) == ::cfgetispeed(&b) && ::cfgetospeed(&a) == ::cfgetospeed(&b);
}

bool LineMode::keeps(const termios &line, const termios &meant)
{
    constexpr tcflag_t kFraming = CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS | CLOCAL | CREAD;
    return line.c_iflag == meant.c_iflag && line.c_oflag == meant.c_oflag && line.c_lflag == meant.c_lflag
            && (line.c_cflag & kFraming) == (meant.c_cflag & kFraming) && line.c_cc[VMIN] == meant.c_cc[VMIN]
            && line.c_cc[VTIME] == meant.c_cc[VTIME] && ::cfgetispeed(&line) == ::cfgetispeed(&meant)
            && ::cfgetospeed(&line) == ::cfgetospeed(&meant);
}
