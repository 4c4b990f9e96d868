#include "failure_guide.h"

#include <cctype>
#include <string_view>

const FailureHelp *explainFailure(MessageId id)
{
    const MessageEntry &entry = messageEntry(id);
    return entry.kind == MessageKind::Failure && entry.help.cause ? &entry.help : nullptr;
}

std::vector<std::string> explainedMessages()
{
    std::vector<std::string> keys;
    for (const MessageEntry &e : messageCatalogue()) {
        // A family whose members differ only after the value is listed once.
        if (explainFailure(e.id) && *e.text && (keys.empty() || keys.back() != e.text))
            keys.emplace_back(e.text);
    }
    return keys;
}

namespace {

std::string sentence(std::string words)
{
    if (!words.empty())
        words[0] = char(std::toupper(static_cast<unsigned char>(words[0])));
    return words;
}

} // namespace

std::string explanationText(MessageId id, FrontEnd frontEnd)
{
    const FailureHelp *help = explainFailure(id);
    if (!help)
        return {};
    const char *own = frontEnd == FrontEnd::Window    ? help->windowStep
                      : frontEnd == FrontEnd::Station ? help->stationStep
                                                      : nullptr;
    std::string step = own ? own : help->nextStep;
    constexpr std::string_view Again = "{again}";
    if (const size_t at = step.find(Again); at != std::string::npos)
        step.replace(at, Again.size(), againStep(frontEnd));
    return sentence(help->cause) + ". " + sentence(step) + ".";
}

const char *againStep(FrontEnd frontEnd)
{
    switch (frontEnd) {
    case FrontEnd::Window: return "plug it in again and press \"Update\" once more";
    case FrontEnd::CommandLine: return "plug it in again and run the same mova-update command again";
    // A batch with --repeat takes back a device whose update failed as soon as it is plugged
    // in again; only one updated and back within its restart is left alone.
    case FrontEnd::Batch:
        return "plug it in again; a batch with --repeat picks it up, otherwise run the batch again";
    // The station takes one device after another in each socket for as long as it runs.
    case FrontEnd::Station:
        return "take it out and plug it into a socket again: the station updates it as soon as it is in";
    }
    return "";
}

MessageId openFailureMessage(OpenRefusal refusal)
{
    switch (refusal) {
    case OpenRefusal::Missing: return MessageId::PortNotFound;
    case OpenRefusal::NotTerminal: return MessageId::PortNotTerminal;
    case OpenRefusal::Busy: return MessageId::PortInUse;
    case OpenRefusal::Denied: return MessageId::PortDenied;
    case OpenRefusal::None: break;
    }
    return MessageId::InitialiseError;
}

int brokenLine(const ImageLoad &load, std::string_view text)
{
    if (load.ok || messageEntry(load.messageId).fill != MessageFill::Decimal)
        return 0;
    // Every record begins at a colon and what stands between records is skipped, so the
    // record it stopped at begins at that colon.
    int line = 1, colons = 0;
    for (const char c : text) {
        if (c == ':' && colons++ == load.image.records)
            break;
        line += c == '\n';
    }
    return line;
}
