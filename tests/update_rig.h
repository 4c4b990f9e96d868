#pragma once
// The update run in virtual time: the device model on a virtual tty, the session filled by
// a real readout, and a screen that remembers what the run showed and when.
#include "clock.h"
#include "monitor.h"
#include "recording_screen.h"
#include "firmware_image.h"
#include "run_events.h"
#include "session.h"
#include "update_run.h"
#include "usb_connection.h"
#include "virtual_device.h"

#include <QFile>
#include <QTemporaryDir>
#include <map>

// The run's success texts as the operator reads them, written out here rather than taken
// from the program, so that a changed text fails the tests.
inline const char *const LongSuccess =
    "Update sended success!\nPlease initialise your Corvane device with Parlux light because the firmware "
    "update stored a standard montage on your device\nwhich might not be identical with your commonly used "
    "montage.";
inline const char *const TableSuccess = "Update and Language sended success!";

// Writes a file whole; its path.
inline std::string writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
    return path.toStdString();
}

inline QByteArray fileBytes(const std::string &path)
{
    QFile f(QString::fromStdString(path));
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

// The image the device must end up with: the text's bytes with the service header in front.
inline std::vector<uint8_t> expectedImage(const QByteArray &image, int blocks, int blockSize, const ServiceFields &fields)
{
    std::vector<uint8_t> v(size_t(blocks) * size_t(blockSize), 0);
    std::copy(image.begin(), image.end(), v.begin());
    writeServiceHeader(v, fields);
    return v;
}

struct RecordingRunScreen : RunScreen {
    explicit RecordingRunScreen(Clock &c) : clock(c) {}
    Clock &clock;
    bool confirmAnswer = true;
    std::vector<std::string> confirms, messages, captions, diagnostics;
    std::vector<MessageId> explainedBy; // the message each failure was explained by
    std::map<std::string, int64_t> captionAt; // when each stage began (virtual ms)
    std::vector<int> positions;
    std::vector<std::pair<std::string, int>> positionLog; // each position with its stage
    bool busy = false, progressVisible = false, pollingStopped = false, windowClosed = false;
    int pollsNow = 0;
    int64_t firstCloseAt = -1; // when the progress window first went away

    Answer confirmLowBattery(int) override { return {true}; }
    Answer confirmFirmwareAge(FirmwareAge, const DeviceRecord &) override { return {true}; }
    Answer confirm(const std::string &caption, const std::string &text) override
    {
        confirms.push_back(caption + "|" + text);
        return {confirmAnswer};
    }
    void message(const RunMessage &m) override
    {
        if (m.kind == MessageKind::Diagnostic)
            return diagnostics.push_back(m.text);
        if (m.failure())
            explainedBy.push_back(m.explainedBy);
        messages.push_back(m.text);
    }
    void holding(bool on) override
    {
        busy = on;
        pollingStopped = pollingStopped || on;
    }
    void writing(bool on) override
    {
        if (!on && progressVisible && firstCloseAt < 0)
            firstCloseAt = clock.nowMs();
        progressVisible = on;
    }
    void stage(ProgressStage, const std::string &text) override
    {
        captions.push_back(text);
        captionAt[text] = clock.nowMs();
    }
    void progress(int p) override
    {
        positions.push_back(p);
        positionLog.emplace_back(captions.empty() ? std::string() : captions.back(), p);
    }
    void released() override { ++pollsNow; }
    void result(const RunEnd &end) override { windowClosed = end.run && end.run->stage == RunStage::Done; }
};

// One run as the window makes it: its events to the screen (and to `also` first), then its result.
inline RunResult runAndEnd(Session &session, RecordingRunScreen &screen, Clock &clock, const Payloads &payloads,
                           RunListener *also = nullptr)
{
    RunEvents events;
    if (also)
        events.listen(*also);
    events.listen(screen);
    const RunResult result = runUpdate(session, screen, events, clock, payloads);
    events.result({outcomeOf(result), endText(result), result});
    return result;
}

struct UpdateRig {
    static inline const std::string DevicePath = "/dev/serial/by-id/usb-test-if00";

    VirtualClock clock;
    VirtualDevice device;
    UsbConnection link;
    Session session;
    RecordingScreen monitor;
    RecordingRunScreen screen {clock};
    QTemporaryDir dir;
    Payloads payloads;

    explicit UpdateRig(DeviceModel::Config config = DeviceModel::Config(), int expectedHardware = 24)
        : device(clock, DevicePath, std::move(config)), link(clock, UsbConnection::Options {}, device.wire())
    {
        session.link = &link;
        session.expectedHardwareVersion = expectedHardware;
        session.findPort = [this] { return device.plugged() ? device.path() : std::string(); };
    }

    // Connects and reads the device as the window's first tick does; the service fields
    // the run writes back come from that readout.
    ServiceFields fields;
    bool connect()
    {
        pollDevice(session, monitor, clock);
        fields = headerFieldsOf(session.record, session.calibration);
        device.model().clearTrace();
        return link.isOpen();
    }

    std::string write(const char *name, const QByteArray &bytes) { return writeFile(dir.filePath(name), bytes); }
    void usePayloads(const QByteArray &hex, const QByteArray &table)
    {
        payloads.firmware = write("firmware.hex", hex);
        payloads.table = write("language.tra", table);
    }
    RunResult run() { return runAndEnd(session, screen, clock, payloads); }

    std::vector<uint8_t> into() const
    {
        std::vector<uint8_t> v;
        for (const auto &e : const_cast<VirtualDevice &>(device).model().trace())
            if (e.direction == '<')
                v.push_back(e.byte);
        return v;
    }
};

// Intel HEX text of these bytes from offset 0 under base 0x0800 0000, 16 bytes a record.
inline QByteArray hexText(const QByteArray &image)
{
    auto record = [](int address, int type, const QByteArray &data) {
        QByteArray body;
        body.append(char(data.size())).append(char(address >> 8)).append(char(address & 0xFF)).append(char(type));
        body.append(data);
        uint8_t sum = 0;
        for (char c : body)
            sum = uint8_t(sum + uint8_t(c));
        body.append(char(uint8_t(-sum)));
        return ":" + body.toHex().toUpper() + "\r\n";
    };
    QByteArray text;
    for (int offset = 0; offset < image.size(); offset += 16) {
        if (offset % 0x10000 == 0)
            text += record(0, 4, QByteArray::fromHex(QByteArray::number(0x0800 + offset / 0x10000, 16).rightJustified(4, '0')));
        text += record(offset & 0xFFFF, 0, image.mid(offset, 16));
    }
    return text + ":00000001FF\r\n";
}

// A deterministic image of n bytes with the service area left zero.
inline QByteArray imageBytes(int n)
{
    QByteArray b(n, 0);
    uint32_t x = 12345;
    for (int i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = char(x >> 24);
    }
    for (int i = 0x200; i < 0x220 && i < n; ++i)
        b[i] = 0;
    return b;
}
