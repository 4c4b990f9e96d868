#pragma once
// The FTDI road's test fixture: the stand-in for libftdi1, loaded as the program loads it and
// carrying the converter's bytes to the device emulator's pseudo-terminal, with its recorder.
#include "ftdi_api.h"
#include "ftdi_standin.h"
#include "pty_emulator.h"

#include <QElapsedTimer>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <dlfcn.h>
#include <memory>
#include <string>
#include <vector>

inline const char *const NoSuchLibrary = "libftdi-none-such.so.9";

// The device's side of the wire as "<90 >90 ..." ('<' into the device), easy to compare.
inline QString wire(const std::vector<DeviceModel::TraceEntry> &trace)
{
    QStringList parts;
    for (const auto &e : trace)
        parts << QStringLiteral("%1%2").arg(QLatin1Char(e.direction)).arg(e.byte, 2, 16, QLatin1Char('0')).toUpper();
    return parts.join(QLatin1Char(' '));
}

inline int64_t elapsedMs(const QElapsedTimer &timer)
{
    return timer.elapsed();
}

struct FtdiRoadFixture {
    // Once for the test case: the recorder's entry points, and the program's library chosen.
    void setUpOnce()
    {
        QVERIFY(folder_.isValid());
        // The same handle FtdiLibrary gets, so the recorder sees what the road did.
        standinHandle_ = dlopen(STANDIN_PATH, RTLD_NOW | RTLD_LOCAL);
        QVERIFY2(standinHandle_, dlerror());
        lastSettings_ = reinterpret_cast<standin_last_settings_fn>(dlsym(standinHandle_, "standin_last_settings"));
        resetSettings_ = reinterpret_cast<standin_reset_fn>(dlsym(standinHandle_, "standin_reset"));
        QVERIFY(lastSettings_ && resetSettings_);
        // Must come before anything asks for the program's library: it is chosen once.
        qputenv("QTX_FTDI_LIBRARY", STANDIN_PATH);
    }
    // Before each case: no converter named or placed, and the recorder cleared.
    void setUp()
    {
        qunsetenv("QTX_STANDIN_DESCRIPTION");
        qunsetenv("QTX_STANDIN_PORT");
        resetSettings_();
        contextsBefore_ = recorded().live_contexts;
    }
    void tearDown()
    {
        emulator_.reset();
        // Whatever a case opened, its connection is gone by now and must have freed its context.
        QCOMPARE(recorded().live_contexts, contextsBefore_);
    }

    bool startDevice(const char *fault = nullptr, int faultCommand = -1)
    {
        PtyEmulator::Options options;
        options.link = (folder_.path() + QStringLiteral("/ttyFTDI")).toStdString();
        options.device.doubledRoad = true;
        emulator_ = std::make_unique<PtyEmulator>(options);
        if (fault && !emulator_->withModel([&](DeviceModel &m) { return m.setFault(fault, true, faultCommand); }))
            return false;
        std::string why;
        if (!emulator_->start(&why)) {
            qWarning("emulator: %s", why.c_str());
            return false;
        }
        qputenv("QTX_STANDIN_PORT", QByteArray::fromStdString(options.link));
        return true;
    }
    const standin_settings &recorded() const { return *lastSettings_(); }

    QTemporaryDir folder_;
    std::unique_ptr<PtyEmulator> emulator_;
    FtdiLibrary standin_ {STANDIN_PATH};
    void *standinHandle_ = nullptr;
    standin_last_settings_fn lastSettings_ = nullptr;
    standin_reset_fn resetSettings_ = nullptr;
    int contextsBefore_ = 0;
};
