#pragma once
#include <cstdint>
#include <span>
#include <string>

// Every text an operator can meet from the update run, the table transfer, the loader, the
// polling and the command line's refusals, chosen by id. The texts are the device tool's own
// words and stay exactly as they have always been shown; what a failure means and what to do
// next stands beside it.
enum class MessageId {
    None, // no message (the run ended before it said anything)
    // The update run and the loader.
    DeviceNotConnected,
    FirmwareCannotOpen,
    FirmwareUnreadable,
    HexChecksum,
    HexAddress,
    HexType,
    ResetLost,
    ResetOtherDevice, // another device answered where the device was looked for after its reset
    ConnectLost,
    StatusMissing,
    EraseRefused,
    EraseUnconfirmed,
    EraseFailed,
    TransferRefused,
    FirmwareBlockError,
    FirmwareBlockRefused,
    FirmwareBlockNoAnswer,
    FirmwareBlockNotTaken,
    VerifyFailed,
    ImageRejected,
    ConfirmMissing,
    Stopped,
    UnknownFailure,
    SystemError, // a failure of the system or the program, in the system's words
    // The translation table, sent after a confirmed firmware.
    TableReconnectLost,
    TableBlockError,
    TableBlockRefused,
    TableBlockNoAnswer,
    TableBlockNotTaken,
    TableCountRefused,
    TableRefused,
    TableNoEcho,
    TableUnknownFailure,
    TableOtherDevice, // another device answered where the updated one was looked for after its restart
    TableDeviceLost,  // the device went away during its table, with its new firmware confirmed
    // The polling.
    NoDevice,
    NoDockingStation,
    InitialiseError,
    DeviceOffline,
    CommunicationsError,
    IdentityUnavailable,
    // The command line's refusals.
    NotUpdated,     // the device is another hardware version than the build's
    IdentityUnreadable, // the device's identity record has no two-digit firmware version
    FirmwareTooOld, // the device's firmware is too old to take an update
    SameSerial,     // in a batch, another device present has the same serial number
    BatchGone,      // in a batch, no word came from the batch to go on
    FirmwareNewer,  // the device's firmware is newer than the carried one (a downgrade refused)
    // Also "No connection - Initialise error", each for one reason the path could not be opened.
    PortNotFound,
    PortNotTerminal,
    PortInUse,
    PortDenied,
    PayloadInvalid,
    BatteryLow,
    DeviceLost, // the device went away while it was written (whatever message the step showed)
    // Not failures: successes, questions and the verify pass's lines for support.
    FirmwareSent,
    FirmwareSentStandardMontage,
    FirmwareAndTableSent,
    AlreadyCurrent, // the device has the carried firmware already: nothing was written
    ConfirmErase,
    AskForDevice,
    AskForDockingStation,
    AskToSwitchOn,
    ReadBackChecksum,
    ReadBackIncomplete,
};

enum class MessageKind { Failure, Success, Question, Diagnostic };

// The value a text carries, where the catalogue's text is a template: it goes between the
// text and `after`.
enum class MessageFill {
    None,
    Decimal, // a line number
    Hex,     // an offset, upper-case hexadecimal without leading zeros
    HexByte, // an error code byte, two upper-case hexadecimal digits
    Text,    // free words (a reason, a path)
};

// What an operator message means and what to do next, in plain words. "{again}" in a step
// stands for updating the device once more, said as the front end that shows it does it.
struct FailureHelp {
    const char *cause;
    const char *nextStep;
    const char *windowStep = nullptr; // instead of nextStep in the window, where its own controls differ
    const char *stationStep = nullptr; // and in the station, whose settings are station.conf's
};


struct MessageEntry {
    MessageId id;
    MessageKind kind;
    const char *text; // the whole text, or what stands before the value
    MessageFill fill;
    const char *after; // what follows the value
    FailureHelp help;  // null cause for a message that needs none
};

// The operator's stop (asked for through Session::stopRequested) ends the run with this.
inline constexpr const char *StoppedByOperator = "Update stopped by the operator";

// Every entry, in the catalogue's order (the order the help is listed in).
std::span<const MessageEntry> messageCatalogue();
// The entry of an id; MessageId::None has an empty text and no help.
const MessageEntry &messageEntry(MessageId id);

// The text of a message without a value.
std::string messageText(MessageId id);
// The text of a message with its number filled in (Decimal, Hex or HexByte).
std::string messageText(MessageId id, int64_t value);
// The text of a message with its words filled in (Text).
std::string messageText(MessageId id, const std::string &words);
