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
    // The polling.
    NoDevice,
    NoDockingStation,
    InitialiseError,
    DeviceOffline,
    CommunicationsError,
    IdentityUnavailable,
    // The command line's refusals.
    NotUpdated,
    PayloadInvalid,
    BatteryLow,
    // Not failures: successes, questions and the verify pass's lines for support.
    FirmwareSent,
    FirmwareSentStandardMontage,
    FirmwareAndTableSent,
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

// What an operator message means and what to do next, in plain words.
struct FailureHelp {
    const char *cause;
    const char *nextStep;
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

// Which message a shown text is, values and all; None when it is no catalogue text (or
// one whose whole text is the system's own words).
MessageId messageIdOf(const std::string &text);
