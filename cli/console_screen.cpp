#include "console_screen.h"
#include "batch_words.h"
#include "live_columns.h"
#include "output_writer.h"

#include <algorithm>
#include <cstring>
#include <cerrno>
#include <iostream>
#include <poll.h>
#include <unistd.h>

namespace {
constexpr int AskingTurnMs = 100; // how soon a signal is heard while the question waits

// What a line of the verify pass means for the run, said beside it.
std::string readBackExplanation(MessageId id)
{
    if (id == MessageId::ReadBackIncomplete)
        return "A block read back for the check came without its check byte; it was read again.";
    return "A block read back for the check came with a wrong check byte; the run went on, and the comparison of "
           "the whole image at its end decides.";
}
} // namespace

void ConsoleScreen::endLine()
{
    if (questionOpen_) { // the question was left without an answer (Ctrl-C, end of input)
        std::cout << std::endl;
        questionOpen_ = false;
    }
    progress_.endLine();
}

void ConsoleScreen::progressThroughWriter(std::function<bool()> devicePresent)
{
    progress_.progressLine = [](const std::string &line) {
        OutputWriter::write(STDOUT_FILENO, line, OutputWriter::Kind::Progress);
    };
    progress_.redrawLine = [](const std::string &undo, const std::string &draw) {
        OutputWriter::redraw(STDOUT_FILENO, undo, draw);
    };
    progress_.columns = terminalColumns;
    progress_.devicePresent = std::move(devicePresent);
}

std::string ConsoleScreen::whyNotAsked() const
{
    if (options_.assumeYes)
        return {};
    // A batch's devices are updated side by side: no one question could say which it is for.
    if (options_.frontEnd == FrontEnd::Batch)
        return "a batch of devices asks nobody (--yes answers it for every device)";
    if (options_.json)
        return "--json asks nobody (--yes answers it)";
    if (!options_.interactive)
        return "standard input is no terminal (--yes answers it)";
    return {};
}

void ConsoleScreen::event(const JsonLine &line, const std::string &plain, bool error)
{
    if (!options_.json) {
        endLine();
        if (!plain.empty())
            (error ? std::cerr : std::cout) << plain << std::endl;
        return;
    }
    std::cout << line.str() << std::endl;
}

const char *firmwareAgeOption(FirmwareAge age)
{
    return age == FirmwareAge::Older ? "--allow-older installs it all the same" : "--reinstall writes it again";
}

Answer ConsoleScreen::confirmFirmwareAge(FirmwareAge age, const DeviceRecord &)
{
    const bool yes = age == FirmwareAge::Older ? allowOlder : reinstall;
    return {yes, yes ? std::string() : firmwareAgeOption(age), false};
}

Answer ConsoleScreen::confirm(const std::string &caption, const std::string &text)
{
    bool yes = options_.assumeYes, asked = false;
    const std::string whyNot = whyNotAsked();
    if (!yes && whyNot.empty()) {
        asked = true;
        endLine();
        if (!questionSubject.empty())
            std::cout << caption << " of " << questionSubject << "\n";
        if (!questionNote.empty())
            std::cout << questionNote << "\n";
        std::cout << caption << ": " << text << "\nGo on? [y/N] " << std::flush;
        questionOpen_ = true;
        for (;;) {
            pollfd keyboard {STDIN_FILENO, POLLIN, 0};
            const int ready = ::poll(&keyboard, 1, AskingTurnMs);
            if (ready > 0 || (ready < 0 && errno != EINTR))
                break;
            if (whileAsking)
                whileAsking();
        }
        std::string answer;
        // The answer's line end ends the question's line; an end of input leaves it open.
        questionOpen_ = !std::getline(std::cin, answer);
        yes = answer == "y" || answer == "Y" || answer == "yes";
    }
    JsonLine line = JsonLine::event("question").text("caption", caption).text("subject", questionSubject);
    line.text("text", text).text("note", questionNote).flag("asked", asked).text("answer", yes ? "yes" : "no");
    if (!asked && !yes) // said, with what it was about, where the run ends
        line.text("not_asked_because", whyNot);
    event(line, {});
    return {yes, asked || yes ? std::string() : whyNot};
}

bool ConsoleScreen::confirmLowBattery(int percent)
{
    // No question here: a script would answer it without reading. Going on takes an option.
    const std::string text = messageText(
        MessageId::BatteryLow,
        std::to_string(percent) + " %): an update that stops halfway leaves the device without working firmware");
    if (allowLowBattery) {
        event(JsonLine::event(EventName::Warning).text("text", text).number("percent", percent),
              "mova-update: " + text + "; going on as --allow-low-battery says", true);
        return true;
    }
    failure(RunMessage::of(MessageId::BatteryLow,
                           text + ". Charge it, or give --allow-low-battery to update all the same."));
    return false;
}

void ConsoleScreen::plan(const RunPlan &p)
{
    progress_.setPlan(p.firmwareBlocks, p.tableBlocks);
    const DeviceFacts d = device_.value_or(DeviceFacts {});
    const DeviceRecord &r = d.record;
    const std::string serial = shownText(serialBytes(r)), battery = d.batteryText();
    JsonLine line = JsonLine::event(EventName::Plan).text("port", p.port);
    if (!p.run.empty())
        line.text("run", p.run);
    if (!d.socket.empty())
        line.text("socket", shownText(d.socket));
    line.append(identityJson(r)).text("firmware_now", shownText(d.line())).text("battery", battery);
    if (d.batteryPercent)
        line.number("battery_percent", *d.batteryPercent);
    line.text("firmware", p.firmwareName)
        .text("table", p.tableName)
        .number("firmware_blocks", p.firmwareBlocks)
        .number("table_blocks", p.tableBlocks)
        .text("firmware_is", firmwareAgeName(p.firmwareIs))
        .flag("downgrade", p.firmwareIs == FirmwareAge::Older);
    event(line, "device            " + shownText(p.port) + "\nserial number     " + serial + "\nhardware version  " +
                    std::to_string(r.hardwareVersion) + "\nfirmware now      " + shownText(d.line()) +
                    "\nbattery           " + battery + "\nfirmware to go on " + p.firmwareName +
                    (p.firmwareIs == FirmwareAge::Older ? ", " + p.downgradeText : "") + "\ntable to go on    " + p.tableName);
}

void ConsoleScreen::writing(bool on)
{
    if (on)
        event(JsonLine::event(EventName::Writing), {});
    else
        progress_.close();
}

void ConsoleScreen::message(const RunMessage &m)
{
    if (m.kind == MessageKind::Diagnostic)
        diagnostic(m);
    else if (m.failure())
        failure(m);
    else
        success(m.text);
}

void ConsoleScreen::success(const std::string &text)
{
    // After a table that failed, the run still says the firmware's success, as the window
    // does beside its failure box. Here the failure stays the last word: a success under it
    // would read as the result.
    if (failed_ || successSaid_)
        return;
    successSaid_ = true;
    event(JsonLine::event(EventName::Message).text("text", text), text);
}

void ConsoleScreen::failure(const RunMessage &m)
{
    failed_ = true;
    // The message stays as the device's tool has always said it; where and what it means come after.
    const std::string explanation = explanationText(m.explainedBy, options_.frontEnd);
    JsonLine line = JsonLine::event(EventName::Message).text("text", m.text).flag("failure", true);
    std::string plain = m.text;
    if (m.line > 0) {
        line.number("line", m.line).text("file", m.file);
        plain += "\n  line " + std::to_string(m.line) + " of " + shownText(m.file);
    }
    event(line.text("explanation", explanation), explanation.empty() ? plain : plain + "\n  " + explanation, true);
}

void ConsoleScreen::diagnostic(const RunMessage &m)
{
    // The verify pass's two lines: events, or warnings on standard error, as the run goes on.
    event(JsonLine::event(EventName::Diagnostic).text("line", m.text),
          "mova-update: warning: " + m.text + "\n  " + readBackExplanation(m.id), true);
}

void ConsoleScreen::after(const DeviceFacts &facts)
{
    event(JsonLine::event(EventName::After)
              .number("firmware_version", facts.record.firmwareVersion)
              .text("line", shownText(facts.line())),
          {});
}

void ConsoleScreen::result(const RunEnd &end)
{
    const RunResult run = end.run.value_or(RunResult {});
    if (run.firmwareConfirmed)
        event(JsonLine::event("table").flag("sent", run.tableSent), {});
    const bool ok = succeeded(end.outcome);
    JsonLine line = JsonLine::event(EventName::Result).flag("ok", ok).number("exit", exitStatus(end.outcome));
    line.text("outcome", outcomeName(end.outcome, end.readOnly)).text("text", end.text);
    if (!end.readOnly) {
        line.flag("firmware_confirmed", run.firmwareConfirmed).flag("table_sent", run.tableSent);
        line.number("readback_warnings", run.readBackWarnings);
        line.flag("may_be_without_firmware", end.mayBeWithoutFirmware());
        if (run.otherDevice)
            line.object("other_device", identityJson(*run.otherDevice));
    }
    // A question nobody was asked was not declined: the last line says what did happen.
    const bool notAsked = !run.notAskedBecause.empty();
    const std::string said = end.outcome == Outcome::Declined && notAsked ? end.text : outcomeName(end.outcome);
    event(line, ok ? std::string() : "mova-update: " + said, !ok);
}
