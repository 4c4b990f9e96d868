#pragma once
// A device emulator on a real pseudo-terminal, published under a fresh temporary folder.
#include "pty_emulator.h"

#include <QTemporaryDir>
#include <QTest>
#include <memory>

struct EmulatorFixture {
    QTemporaryDir folder;
    std::unique_ptr<PtyEmulator> emulator;

    // Starts a device with this configuration; the link is <folder>/ttyMOVA.
    bool start(DeviceModel::Config config = DeviceModel::Config(), int resetDowntimeMs = 1500)
    {
        PtyEmulator::Options options;
        options.link = path("ttyMOVA");
        options.device = std::move(config);
        options.resetDowntimeMs = resetDowntimeMs;
        emulator = std::make_unique<PtyEmulator>(options);
        std::string why;
        if (!emulator->start(&why)) {
            qWarning("emulator: %s", why.c_str());
            return false;
        }
        return true;
    }
    std::string path(const char *name) const { return (folder.path() + QLatin1Char('/') + QLatin1String(name)).toStdString(); }
    std::string link() const { return emulator->link(); }

    // The bytes the device took in ('<') or gave out ('>'), in order.
    std::vector<uint8_t> bytes(char direction)
    {
        std::vector<uint8_t> v;
        for (const auto &e : emulator->trace())
            if (e.direction == direction)
                v.push_back(e.byte);
        return v;
    }
};
