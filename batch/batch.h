#pragma once
#include "batch_ports.h"
#include "batch_view.h"
#include "payload_file.h"
#include "socket_names.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What a batch is asked to do: the same for the command line and the station window.
struct BatchOptions {
    std::vector<std::string> ports; // the sockets' ports, in their order; empty: every device's
    bool repeat = false;            // one device after another, as they are plugged in
    int devices = 0;                // with repeat: end after this many (0: no limit)
    bool yes = false;               // a device that may hold a recording is written without asking
    bool allowLowBattery = false;   // and one below the battery guard too
    bool reinstall = false;         // a device with the carried firmware already is written again
    bool allowOlder = false;        // and one whose firmware is newer gets the older one
    bool trace = false;
    bool station = false; // the station window shows it: its workers' words name the station's settings
    std::string firmware = CarriedFirmware, table = CarriedTable;
    std::string report; // the report file; empty: none
    std::string onResult; // the program run after each device's update (see ResultHooks); empty: none
    SocketNames sockets;
    // The program each worker runs (mova-update); empty: this program itself.
    std::string workerProgram;
    // The devices an earlier batch on these sockets left in them (its stillHeld()): each is
    // left alone until it is unplugged.
    std::map<std::string, PortHold> held;
};

// The options above that each worker is given as they are, with the words that give them:
// mova-update's (a worker's too), and the station's on its command line and in station.conf.
// Both front ends and the workers' arguments read them here, so a new such option is a field
// above and a row below.
template <typename T>
struct BatchOption {
    std::string_view option;     // mova-update's word, and a worker's
    bool onStationLine;          // the station takes the same word on its command line
    std::string_view stationKey; // its station.conf key; empty: none
    T BatchOptions::*field;
};
// A switch is given when on; a value when not empty. Workers get them in this order.
inline constexpr BatchOption<bool> BatchSwitches[] = {
    {"--yes", false, {}, &BatchOptions::yes},
    {"--allow-low-battery", false, {}, &BatchOptions::allowLowBattery},
    {"--reinstall", true, "reinstall", &BatchOptions::reinstall},
    {"--allow-older", true, "allow_older", &BatchOptions::allowOlder},
    {"--trace", false, {}, &BatchOptions::trace},
    {"--station", false, {}, &BatchOptions::station},
};
inline constexpr BatchOption<std::string> BatchValues[] = {
    {"--report", true, "report", &BatchOptions::report},
    {"--on-result", false, "on_result", &BatchOptions::onResult},
    {"--firmware", true, {}, &BatchOptions::firmware},
    {"--table", true, {}, &BatchOptions::table},
};

// Several devices: each is updated by a worker process of its own (mova-update on that one
// port, with --json), side by side, or one after another as they are plugged in (repeat). A
// worker's run is exactly the single update, and a failure stays with its device. Before a
// worker writes its device, the batch compares the serials it has seen, so that two devices
// with one serial are both refused and a device back after its own restart is not updated
// twice. It runs in the caller's event loop and tells `view` what happens; it writes to no
// terminal of its own.
class Batch {
public:
    Batch(BatchOptions options, BatchView &view);
    ~Batch();
    Batch(const Batch &) = delete;
    Batch &operator=(const Batch &) = delete;

    // Starts the batch: an exit status when it cannot (nothing was written), else none and
    // `over` is called once the batch has ended.
    std::optional<int> start(std::function<void()> over);
    // A stop signal from the terminal: no further device is started, a worker that has not
    // written its device leaves, one that writes it goes on unless a second signal follows
    // (its own rule); a hang-up also tells the view its terminal is gone.
    void signal(int number);
    // Stops after the devices being written: said once however often it is asked.
    void stopAfterWriting();
    bool stopping() const;
    // A device is being written (or told to be): ending now could leave it without firmware.
    bool writing() const;
    bool over() const;
    // Tells the view the summary once the batch is over; the batch's exit status.
    int finish();
    // What the live lines show now.
    BatchBoard board() const;
    // The devices this batch left in their sockets, for the next batch on them.
    std::map<std::string, PortHold> stillHeld() const;
    // The socket names the batch goes by.
    const SocketNames &sockets() const;

private:
    class Supervision;
    std::unique_ptr<Supervision> s_;
};
