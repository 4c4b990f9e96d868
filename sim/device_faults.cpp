// The faults the emulated device can be told to have: each name with what it does, in one
// table, so that the names it takes and the words mova-sim --help says of them cannot drift.
#include "device_model.h"

const std::vector<DeviceModel::Fault> &DeviceModel::faults()
{
    // ARG, where a fault takes one, narrows it: a command byte (CMD) or a block index from 0
    // (BLOCK). Without it the fault strikes every time.
    static const std::vector<Fault> table = {
        // What the device says back to a command.
        {"no-echo", "CMD: carries the command out without echoing it"},
        {"wrong-echo", "CMD: echoes a wrong byte and does nothing"},
        {"late-echo", "CMD: echoes (and answers) only after the tool gave up"},
        {"silence", "CMD: takes the command and says nothing"},
        {"no-second-echo", "CMD: carries a doubled command out, loses its second echo"},
        // The firmware's way onto the device.
        {"refuse-transfer", "CMD 0x75..0x78: refuses the transfer command"},
        {"erase-fail", "the erase reports a failure (255) at its fourth step"},
        {"erase-bad-status", "the erase ends with the status 0"},
        {"erase-stall", "the erase's progress stops after its fourth byte"},
        {"block-nak", "BLOCK: asks for the block again twice, then takes it"},
        {"block-nak-always", "BLOCK: asks for the block again, every time"},
        {"block-error", "BLOCK: rejects the block with the error code 0x2A"},
        {"block-error-nocode", "BLOCK: rejects the block with no error code"},
        {"block-fatal", "BLOCK: answers the block with a fatal error"},
        {"block-silent", "BLOCK: takes the block and says nothing"},
        {"block-late", "BLOCK: takes the block, says so only 1.6 s later"},
        {"language-block-nak", "BLOCK: block-nak for a translation table block"},
        {"language-block-nak-always", "BLOCK: block-nak-always for a table block"},
        {"language-block-error", "BLOCK: block-error for a table block"},
        {"language-block-error-nocode", "BLOCK: block-error-nocode for a table block"},
        {"language-block-fatal", "BLOCK: block-fatal for a table block"},
        {"language-block-silent", "BLOCK: block-silent for a table block"},
        {"language-block-late", "BLOCK: block-late for a table block"},
        // Reading the firmware back, and the final check.
        {"readback-silent", "sends nothing back when the firmware is read back"},
        {"readback-stall", "reads back block 0, then nothing"},
        {"readback-short", "BLOCK: sends back only half of the block"},
        {"readback-no-xor", "BLOCK: sends the block back without its check byte"},
        {"readback-bad-xor", "BLOCK: sends the block back with a wrong check byte"},
        {"readback-corrupt", "BLOCK: sends the block back with a bit flipped, once"},
        {"readback-trickle", "BLOCK: sends 200 bytes of the block, one every 0.9 s"},
        {"confirm-refuse", "refuses to confirm the new firmware"},
        {"confirm-silent", "does not answer the final check"},
        // The translation table.
        {"refuse-language", "refuses to take a translation table"},
        {"language-count-reject", "rejects the translation table's block count"},
        // Pulled out: the device leaves the line until it is plugged in again.
        {"pull-on-command", "CMD: is pulled out when the command comes"},
        {"pull-during-erase", "is pulled out at the erase's fourth step"},
        {"pull-on-block", "BLOCK: is pulled out when the block comes"},
        {"pull-on-readback", "BLOCK: is pulled out as it reads the block back"},
        {"pull-on-table-block", "BLOCK: is pulled out when the table's block comes"},
        {"pull-on-compare", "is pulled out when the final check comes"},
        // Babbling: from then on, bytes as fast as the line takes them.
        {"flood-on-command", "CMD: floods the line from the command on"},
        {"flood-on-readback", "BLOCK: floods the line instead of the block"},
    };
    return table;
}

const std::vector<std::string> &DeviceModel::faultNames()
{
    static const std::vector<std::string> names = [] {
        std::vector<std::string> n;
        for (const Fault &f : faults())
            n.emplace_back(f.name);
        return n;
    }();
    return names;
}
