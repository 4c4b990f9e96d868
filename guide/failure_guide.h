#pragma once
#include "firmware_image.h"
#include "operator_messages.h"
#include "tty_wire.h"

#include <string>
#include <string_view>
#include <vector>

class UsbConnection;

// What an operator message means and what to do next, in plain words (FailureHelp, from the
// message catalogue): the window and the command line keep the message exactly and show
// this beside it, its next step in the words of the front end that shows it.

// Where a message is shown; what to do next names what that front end offers.
enum class FrontEnd {
    Window,
    CommandLine,
    Batch,   // the update of one device of a batch, shown by the batch
    Station, // the same, shown on its socket's tile in the station window
};

// What "{again}" says in that front end: plug the device in again, and what updates it there.
const char *againStep(FrontEnd frontEnd);

// The help for an operator message of the update run, the table transfer, the loader or the
// polling; null for a message that needs none (a success) or that is unknown.
const FailureHelp *explainFailure(MessageId id);
// The texts (or the beginnings of families of texts) that have help, in the catalogue's order.
std::vector<std::string> explainedMessages();
// "<cause>. <next step>." as one text; empty when there is no help.
std::string explanationText(MessageId id, FrontEnd frontEnd);

// The message that explains why the link could not open a path, by the reason the link gave;
// InitialiseError for a reason it did not tell apart.
MessageId openFailureMessage(OpenRefusal refusal);

// The line of a firmware text (from 1) where its load stopped, for a message that names the
// record it stopped at (the loader counts them from 0); 0 for a load that names none.
int brokenLine(const ImageLoad &load, std::string_view text);

// Why the link's last open failed, in words an operator can act on ("<path>: not found",
// "... not a terminal device", in use, no permission with the udev rules); empty when the
// link is open or no open was tried.
std::string openFailureHint(const UsbConnection &link);
