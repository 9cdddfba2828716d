#pragma once

#include "procwalk.h"

#include <QByteArray>

#include <functional>
#include <memory>
#include <optional>

// Who else has a device: a session that has it as its controlling terminal (a
// shell's pseudo-terminal, a serial login console), another process with it
// open, or a lock on its node. A look at /proc answers all three without
// opening the device; it runs on a worker thread of its own, so the caller
// never waits for it, and nothing else crosses threads.
class DeviceUsers final
{
public:
    using Use = ProcWalk::Use;
    using Answer = ProcWalk::Answer;

    using Walk = std::function<Answer(const ProcWalk::Look &, const std::function<bool()> &cancelled)>;
    // `answered` runs on the worker's thread each time a look is done; tests
    // may stand in for the walk of /proc.
    explicit DeviceUsers(std::function<void()> answered = {}, Walk walk = ProcWalk::look);
    ~DeviceUsers();
    DeviceUsers(const DeviceUsers &) = delete;
    DeviceUsers &operator=(const DeviceUsers &) = delete;

    // Asks the kernel on a descriptor of the device: a child in a session of
    // its own tries to make it its controlling terminal, which the kernel
    // refuses when another session has it. It sees every session, also those
    // that /proc hides. Terminal, None or Unknown.
    static Use askKernel(int fd);

    struct LookFor
    {
        bool terminalOnly = false; // only a session that has it as its terminal
        Answer hint;               // who had it last time, checked alone first
        // A new question about the device, not the same one asked again: it
        // never rests after a long look.
        bool atOnce = false;
        // The node's name. Watched while the question rests: anyone closing
        // it may have freed it, and ends the rest.
        QByteArray path;
    };
    // Starts a look at `node` (the device as stat'ed or opened), in place of
    // any look under way.
    void look(const struct stat &node, LookFor what);
    // The answer of the look last started, once it is done and if it was
    // about `node`. Each answer is given once, and a "nobody" older than
    // `nobodyStandsMs` not at all: it never stands for a later try.
    std::optional<Answer> answer(const struct stat &node, qint64 nobodyStandsMs = -1);
    // Whether a look at `node` is waiting to start or under way.
    bool looking(const struct stat &node) const;
    // How long the look under way has run; 0 when none is.
    qint64 lookingMs() const;
    // No answer is wanted any more; a look under way is given up.
    void forget();
    // Our own opens and closes of the device so far never end a rest.
    void closedOurs();

private:
    struct Worker;
    std::unique_ptr<Worker> d;
};
