#include "identity_check.h"
#include "handshake.h"
#include "protocol.h"
#include "readout.h"

#include <cstring>

Answerer whoAnswers(UsbConnection &link, const DeviceRecord &planned, DeviceRecord &found)
{
    drain(link, 4, Wait::DrainMs);
    DeviceRecord fresh;
    if (!readDeviceRecord(link, fresh))
        return Answerer::Unknown;
    found = fresh;
    // Told by the serial's bytes as the readout gave them before the run, zero bytes included.
    const bool same = fresh.hardwareVersion == planned.hardwareVersion &&
                      std::memcmp(fresh.serialNumber, planned.serialNumber, sizeof fresh.serialNumber) == 0;
    return same ? Answerer::Planned : Answerer::Other;
}
