#include "output_writer.h"

#include <QString>
#include <QtGlobal>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using Kind = OutputWriter::Kind;

struct Entry {
    std::string text;
    Kind kind;
    int fd = -1;
    size_t undo = 0; // of a redraw, the length of the part that takes back the one before
};

// One descriptor's reader: whether it went away, what it missed and how it is told so.
struct Reader {
    bool gone = false;
    OutputWriter::Dropped dropped;
    OutputWriter::Note note;
};

// One file's queue (a terminal, a pipe, a log) and the thread that writes it. Descriptors on
// the same file (standard output and standard error on one terminal, or both sent to one log)
// share it: a message on one never overtakes the line the other queued before it, so a live
// line is ended before the failure that follows it. A stalled standard output does not hold
// back a standard error that goes elsewhere.
struct Channel {
    std::deque<Entry> queue;
    size_t waiting = 0; // bytes queued or being written
    bool writing = false;
    int openLine = -1; // the descriptor whose live line, the newest thing queued here, waits for its end
    std::map<int, Reader> readers;
    std::condition_variable work;
};

struct Writer {
    std::mutex m;
    std::condition_variable idle; // a channel's queue ran empty
    std::map<std::pair<uint64_t, uint64_t>, std::unique_ptr<Channel>> files; // by device and inode
    bool ended = false; // the program is ending: whatever comes now is written at once
};

// Never destroyed: a static destructor that prints still finds it.
Writer &writer()
{
    static Writer *w = new Writer;
    return *w;
}

// False when the reader is gone (a closed pipe, a terminal hung up, a closed descriptor).
bool writeAll(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += size_t(n);
        } else if (n < 0 && errno == EAGAIN) { // a descriptor someone made non-blocking
            pollfd ready {fd, POLLOUT, 0};
            ::poll(&ready, 1, 1000);
        } else if (!(n < 0 && errno == EINTR)) {
            return false;
        }
    }
    return true;
}

// The reader of `fd` went away: what waits for it goes, and what comes for it later too.
void forget(Channel &c, int fd)
{
    c.readers[fd].gone = true;
    std::erase_if(c.queue, [&](const Entry &e) {
        if (e.fd != fd)
            return false;
        c.waiting -= std::min(c.waiting, e.text.size());
        return true;
    });
}

void serve(Channel &c)
{
    Writer &w = writer();
    std::unique_lock lock(w.m);
    for (;;) {
        c.work.wait(lock, [&] { return !c.queue.empty(); });
        Entry e = std::move(c.queue.front());
        c.queue.pop_front();
        c.writing = true;
        lock.unlock();
        const bool written = writeAll(e.fd, e.text);
        lock.lock();
        c.writing = false;
        c.waiting -= std::min(c.waiting, e.text.size());
        if (!written)
            forget(c, e.fd);
        for (auto &[fd, reader] : c.readers) { // kept up again: each reader told once what it missed
            if (!c.queue.empty() || reader.gone || !reader.dropped.any())
                continue;
            std::string note = reader.note ? reader.note(reader.dropped) : OutputWriter::plainNote(reader.dropped);
            reader.dropped = {};
            c.waiting += note.size();
            c.queue.push_back({std::move(note), Kind::Event, fd});
        }
        if (c.queue.empty())
            w.idle.notify_all();
    }
}

// The channel for `fd`: the one of the file it writes to now (a descriptor closed and opened
// again may be another file), its thread started on first use. Called with the lock held.
Channel &channel(Writer &w, int fd)
{
    struct stat file {};
    const std::pair<uint64_t, uint64_t> key =
        ::fstat(fd, &file) == 0 ? std::pair<uint64_t, uint64_t>(file.st_dev, file.st_ino)
                                : std::pair<uint64_t, uint64_t>(~uint64_t(0), uint64_t(fd)); // a file of its own
    auto &slot = w.files[key];
    if (slot)
        return *slot;
    slot = std::make_unique<Channel>();
    // Signals are for the thread that times the device to hear: the writer blocks them all,
    // and a write to a reader that went away fails with EPIPE instead of ending the program.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    std::thread(serve, std::ref(*slot)).detach();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return *slot;
}

// The text of the newest waiting entry becomes `text`.
void replaceNewest(Channel &c, std::string &&text)
{
    c.waiting -= std::min(c.waiting, c.queue.back().text.size());
    c.waiting += text.size();
    c.queue.back().text = std::move(text);
}

// Queues the text; true when the channel's thread is to be woken (after the lock is let go).
bool queue(Channel &c, int fd, std::string &&text, Kind kind, size_t undo = 0)
{
    bool ended = false; // a live line's end was queued: the thread is woken whatever comes of the text
    // Only the newest entry, and only one of the same descriptor, is replaced: nothing queued
    // after it on the other descriptor of the file gets overtaken.
    const bool newestIsOwn = !c.queue.empty() && c.queue.back().fd == fd && c.queue.back().kind == kind;
    OutputWriter::Dropped &dropped = c.readers[fd].dropped;
    if (kind == Kind::Redraw) { // a line drawn without its end stays open until its descriptor ends it
        c.openLine = text.size() > undo && text.back() != '\n' ? fd : -1;
    } else if (const int open = std::exchange(c.openLine, -1); open >= 0 && open != fd) {
        // Another descriptor's text for this file (a warning on standard error under the live
        // line on standard output): the live line is ended first, so that it does not land in it.
        c.waiting += 1;
        c.queue.push_back({"\n", Kind::Event, open});
        ended = true;
    }
    if (kind == Kind::Redraw) {
        if (newestIsOwn) {
            const Entry &waiting = c.queue.back();
            replaceNewest(c, waiting.text.substr(0, waiting.undo) + text.substr(undo));
            return ended;
        }
    } else if (kind == Kind::Progress || kind == Kind::Trace) {
        // Behind, the newest line waits in place of the one before it, which is counted;
        // at most one waits after each event.
        if (c.waiting > OutputWriter::BehindBytes && newestIsOwn) {
            ++(kind == Kind::Trace ? dropped.trace : dropped.progress);
            replaceNewest(c, std::move(text));
            return ended;
        }
    } else if (c.waiting > OutputWriter::EventCapBytes) {
        ++dropped.events;
        return ended;
    }
    c.waiting += text.size();
    c.queue.push_back({std::move(text), kind, fd, undo});
    return true;
}

void enqueue(int fd, std::string &&text, Kind kind, size_t undo = 0)
{
    Writer &w = writer();
    std::unique_lock lock(w.m);
    if (w.ended) { // nothing times a device any more
        lock.unlock();
        writeAll(fd, text);
        return;
    }
    Channel &c = channel(w, fd);
    if (c.readers[fd].gone || !queue(c, fd, std::move(text), kind, undo))
        return;
    lock.unlock();
    c.work.notify_one(); // after the lock: the thread woken does not wait for it at once
}

// A stream's text, queued at each flush.
class QueueBuffer : public std::streambuf {
public:
    QueueBuffer(int fd, Kind kind) : fd_(fd), kind_(kind) {}

protected:
    int_type overflow(int_type c) override
    {
        if (c != traits_type::eof())
            pending_ += char(c);
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char *s, std::streamsize n) override
    {
        pending_.append(s, size_t(n));
        return n;
    }
    int sync() override
    {
        if (!pending_.empty())
            OutputWriter::write(fd_, std::exchange(pending_, {}), kind_);
        return 0;
    }

private:
    int fd_;
    Kind kind_;
    std::string pending_;
};

struct QueueStream {
    QueueBuffer buffer;
    std::ostream stream {&buffer};
};

void qtMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    OutputWriter::write(STDERR_FILENO, qFormatLogMessage(type, context, message).toStdString() + "\n");
    if (type == QtFatalMsg)
        std::abort();
}

void atExit()
{
    std::cout.flush();
    std::cerr.flush();
    OutputWriter::drain();
    std::lock_guard lock(writer().m);
    writer().ended = true;
}

} // namespace

void OutputWriter::write(int fd, std::string text, Kind kind)
{
    if (text.empty())
        return;
    if (kind != Kind::Event) // what the events' stream holds goes first: the two keep their order
        stream(fd, Kind::Event).flush();
    enqueue(fd, std::move(text), kind);
}

void OutputWriter::redraw(int fd, std::string undo, std::string draw)
{
    stream(fd, Kind::Event).flush();
    const size_t undoLength = undo.size();
    enqueue(fd, std::move(undo) + draw, Kind::Redraw, undoLength);
}

std::ostream &OutputWriter::stream(int fd, Kind kind)
{
    static auto *m = new std::mutex;
    static auto *streams = new std::map<std::pair<int, Kind>, std::unique_ptr<QueueStream>>;
    std::lock_guard lock(*m);
    auto &slot = (*streams)[{fd, kind}];
    if (!slot)
        slot.reset(new QueueStream {{fd, kind}});
    return slot->stream;
}

void OutputWriter::install()
{
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    std::cout.rdbuf(stream(STDOUT_FILENO, Kind::Event).rdbuf());
    std::cerr.rdbuf(stream(STDERR_FILENO, Kind::Event).rdbuf());
    std::clog.rdbuf(stream(STDERR_FILENO, Kind::Event).rdbuf());
    qInstallMessageHandler(qtMessage);
    std::atexit(atExit);
}

void OutputWriter::setNote(int fd, Note note)
{
    Writer &w = writer();
    std::lock_guard lock(w.m);
    channel(w, fd).readers[fd].note = std::move(note);
}

std::string OutputWriter::plainNote(const Dropped &d)
{
    std::string text;
    auto say = [&](long n, const char *what) {
        if (n > 0)
            text += std::string(program_invocation_short_name) + ": " + std::to_string(n) + " " + what +
                    " not shown (the output was not read in time)\n";
    };
    say(d.progress, "progress lines");
    say(d.trace, "trace lines");
    say(d.events, "lines");
    return text;
}

bool OutputWriter::drain(int limitMs)
{
    std::cout.flush();
    std::cerr.flush();
    Writer &w = writer();
    std::unique_lock lock(w.m);
    auto done = [&] {
        for (const auto &[file, c] : w.files)
            if (c->writing || !c->queue.empty())
                return false;
        return true;
    };
    if (limitMs < 0) {
        w.idle.wait(lock, done);
        return true;
    }
    return w.idle.wait_for(lock, std::chrono::milliseconds(limitMs), done);
}
