#include "failure_guide.h"

#include <cctype>

const FailureHelp *explainFailure(MessageId id)
{
    const MessageEntry &entry = messageEntry(id);
    return entry.kind == MessageKind::Failure && entry.help.cause ? &entry.help : nullptr;
}

const FailureHelp *explainFailure(const std::string &message)
{
    return explainFailure(messageIdOf(message));
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

std::string explanationText(MessageId id)
{
    const FailureHelp *help = explainFailure(id);
    if (!help)
        return {};
    std::string cause = help->cause;
    cause[0] = char(std::toupper(static_cast<unsigned char>(cause[0])));
    return cause + ". " + help->nextStep + ".";
}

std::string explanationText(const std::string &message)
{
    return explanationText(messageIdOf(message));
}
