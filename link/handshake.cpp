#include "handshake.h"
#include "clock.h"
#include "protocol.h"
#include "usb_connection.h"

void drain(UsbConnection &link, int n, int ms)
{
    uint8_t scratch[8];
    link.readWithTimeout(scratch, n, nullptr, ms);
}

bool probeHandshake(UsbConnection &link, bool withDrains, const std::function<void(int)> &beforeRetry)
{
    constexpr int Retries = 3;
    bool online = link.sendCommand(Cmd::Probe, false);
    for (int retry = 1; !online && retry <= Retries; ++retry) {
        if (withDrains) {
            link.clock().pump();
            drain(link, 2, Wait::DrainMs);
        } else if (beforeRetry) {
            beforeRetry(retry);
        }
        online = link.sendCommand(Cmd::Probe, false);
    }
    return online;
}

bool connectHandshake(UsbConnection &link)
{
    link.purge();
    drain(link, 2, Wait::DrainMs);
    link.sendCommand(Cmd::StatusShort, false); // its reply byte is swallowed by the next drain
    drain(link, 2, Wait::DrainMs);
    if (!link.sendCommand(Cmd::Start))
        link.sendCommand(Cmd::Start);
    uint8_t reply = 0;
    if (link.read(&reply, 1))
        return true;
    link.clock().sleep(Wait::ProbeGapMs);
    constexpr int Probes = 4;
    for (int i = 0; i < Probes; ++i) {
        if (i > 0)
            link.clock().pump();
        if (link.sendCommand(Cmd::Probe, false))
            return true;
    }
    return false;
}

bool greetAfterReopen(UsbConnection &link)
{
    link.clock().wait(Wait::AfterReopenMs);
    drain(link, 4, Wait::DrainMs);
    if (probeHandshake(link, true))
        return true;
    link.close();
    return false;
}

void sayGoodbye(UsbConnection &link)
{
    if (!link.isOpen())
        return;
    uint8_t byte = 0;
    link.read(&byte, 1);
    if (link.sendCommand(Cmd::Leave))
        link.read(&byte, 1);
}
