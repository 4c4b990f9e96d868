#include "run_events.h"
#include "battery.h"
#include "session.h"

const char *progressStageId(ProgressStage stage)
{
    switch (stage) {
    case ProgressStage::Reset: return "reset";
    case ProgressStage::Erase: return "erase";
    case ProgressStage::Send: return "send";
    case ProgressStage::Verify: return "verify";
    case ProgressStage::TableConnect: return "table_connect";
    case ProgressStage::TableSend: return "table_send";
    }
    return "unknown";
}

DeviceFacts DeviceFacts::of(const Session &session)
{
    return {session.portPath, session.record, session.calibration, session.batteryPercent(),
            session.batteryUnreadable, session.socket};
}

std::string DeviceFacts::line() const
{
    return deviceLine(record);
}

std::string DeviceFacts::batteryText() const
{
    return ::batteryText(batteryPercent, batteryUnreadable);
}

RunMessage RunMessage::of(MessageId id, std::string text)
{
    RunMessage m;
    m.id = m.explainedBy = id;
    m.kind = messageEntry(id).kind;
    m.text = text.empty() ? messageText(id) : std::move(text);
    return m;
}

void RunEvents::device(const DeviceFacts &facts)
{
    if (device_ == facts)
        return;
    device_ = facts;
    each(&RunListener::device, facts);
}
