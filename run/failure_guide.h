#pragma once
#include <string>
#include <vector>

// What an operator message means and what to do next, in plain words: the window and the
// command line keep the message exactly and show this beside it.
struct FailureHelp {
    const char *cause;
    const char *nextStep;
};

// The help for an operator message of the update run, the table transfer, the loader or the
// polling; null for a message that needs none (a success) or that is unknown.
const FailureHelp *explainFailure(const std::string &message);
// The texts (or the beginnings of families of texts) that have help, in the table's order.
std::vector<std::string> explainedMessages();
// "<cause>. <next step>." as one text; empty when there is no help.
std::string explanationText(const std::string &message);
