#pragma once
#include "operator_messages.h"

#include <string>
#include <vector>

// What an operator message means and what to do next, in plain words (FailureHelp, from the
// message catalogue): the window and the command line keep the message exactly and show
// this beside it.

// The help for an operator message of the update run, the table transfer, the loader or the
// polling; null for a message that needs none (a success) or that is unknown.
const FailureHelp *explainFailure(const std::string &message);
const FailureHelp *explainFailure(MessageId id);
// The texts (or the beginnings of families of texts) that have help, in the catalogue's order.
std::vector<std::string> explainedMessages();
// "<cause>. <next step>." as one text; empty when there is no help.
std::string explanationText(const std::string &message);
std::string explanationText(MessageId id);
