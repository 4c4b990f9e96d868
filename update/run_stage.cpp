#include "update_run.h"

const char *runStageName(RunStage stage)
{
    switch (stage) {
    case RunStage::Prepare: return "prepare";
    case RunStage::Reset: return "reset";
    case RunStage::Connect: return "connect";
    case RunStage::Status: return "status";
    case RunStage::Erase: return "erase";
    case RunStage::Send: return "send";
    case RunStage::Verify: return "verify";
    case RunStage::Confirm: return "confirm";
    case RunStage::Table: return "table";
    case RunStage::Done: return "done";
    }
    return "unknown";
}
