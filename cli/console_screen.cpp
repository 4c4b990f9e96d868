#include "console_screen.h"
#include "batch_words.h"
#include "battery.h"
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
    if (options_.frontEnd == FrontEnd::Station) // the station answers yes unless its setting says to keep it
        return "ask_before_recording=on in station.conf keeps every device that may hold a recording as it is";
    if (options_.json)
        return "--json asks nobody (--yes answers it)";
    if (!options_.interactive)
        return "standard input is no terminal (--yes answers it)";
    return {};
}

void ConsoleScreen::event(const JsonLine &line, const std::string &plain, bool error)
{
    if (options_.json)
        std::cout << line.str() << std::endl;
    else
        said(plain, error);
}

void ConsoleScreen::said(const std::string &plain, bool error)
{
    endLine();
    if (!plain.empty())
        (error ? std::cerr : std::cout) << plain << std::endl;
}

const char *firmwareAgeOption(FirmwareAge age)
{
    return age == FirmwareAge::Older ? "--allow-older installs it all the same" : "--reinstall writes it again";
}

std::string ConsoleScreen::firmwareAgeSetting(FirmwareAge age) const
{
    if (options_.frontEnd != FrontEnd::Station)
        return firmwareAgeOption(age);
    return age == FirmwareAge::Older ? "allow_older=yes in station.conf installs it all the same"
                                     : "reinstall=yes in station.conf writes it again";
}

Answer ConsoleScreen::confirmFirmwareAge(FirmwareAge age, const DeviceRecord &)
{
    const bool yes = age == FirmwareAge::Older ? allowOlder : reinstall;
    return {yes, yes ? std::string() : firmwareAgeSetting(age), false};
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

Answer ConsoleScreen::confirmLowBattery(int percent)
{
    // No question here: a script would answer it without reading. Going on takes an option.
    const std::string text = messageText(
        MessageId::BatteryLow,
        std::to_string(percent) + " %): an update that stops halfway leaves the device without working firmware");
    const bool station = options_.frontEnd == FrontEnd::Station;
    if (allowLowBattery) {
        event(remarkWords(EventName::Warning, text).number("percent", percent),
              "mova-update: " + text + (station ? "; going on as battery_guard=off in station.conf says"
                                                : "; going on as --allow-low-battery says"),
              true);
        return {true, {}, false};
    }
    const std::string guard = "battery_guard=on in station.conf holds back every device under " +
                              std::to_string(BatteryGuardBelow) + " %";
    failure(RunMessage::of(MessageId::BatteryLow,
                           text + (station ? ". Charge it, then plug it in again (" + guard + ")"
                                           : ". Charge it, or give --allow-low-battery to update all the same.")));
    return {false, station ? guard : "--allow-low-battery was not given", false};
}

void ConsoleScreen::plan(const RunPlan &p)
{
    progress_.setPlan(p.firmwareBlocks, p.tableBlocks);
    if (options_.json)
        return words_.plan(p);
    const DeviceFacts d = device_.value_or(DeviceFacts {});
    const DeviceRecord &r = d.record;
    const std::string serial = shownText(serialBytes(r)), battery = d.batteryText();
    said("device            " + shownText(p.port) + "\nserial number     " + serial + "\nhardware version  " +
                    std::to_string(r.hardwareVersion) + "\nfirmware now      " + shownText(d.line()) +
                    "\nbattery           " + battery + "\nfirmware to go on " + p.firmwareName +
                    (p.firmwareIs == FirmwareAge::Older ? ", " + p.downgradeText : "") + "\ntable to go on    " + p.tableName);
}

void ConsoleScreen::writing(bool on)
{
    if (!on)
        progress_.close();
    else
        options_.json ? words_.writing(on) : endLine();
}

void ConsoleScreen::message(const RunMessage &m)
{
    if (m.kind == MessageKind::Diagnostic)
        diagnostic(m);
    else if (m.failure())
        failure(m);
    else
        success(m);
}

void ConsoleScreen::success(const RunMessage &m)
{
    // After a table that failed, the run still says the firmware's success, as the window
    // does beside its failure box. Here the failure stays the last word: a success under it
    // would read as the result.
    if (failed_ || successSaid_)
        return;
    successSaid_ = true;
    options_.json ? words_.message(m) : said(m.text);
}

void ConsoleScreen::failure(const RunMessage &m)
{
    failed_ = true;
    if (options_.json)
        return words_.message(m);
    // The message stays as the device's tool has always said it; where and what it means come after.
    const std::string explanation = explanationText(m.explainedBy, options_.frontEnd);
    std::string plain = m.text;
    if (m.line > 0)
        plain += "\n  line " + std::to_string(m.line) + " of " + shownText(m.file);
    said(explanation.empty() ? plain : plain + "\n  " + explanation, true);
}

void ConsoleScreen::diagnostic(const RunMessage &m)
{
    // The verify pass's two lines: events, or warnings on standard error, as the run goes on.
    options_.json ? words_.message(m) : said("mova-update: warning: " + m.text + "\n  " + readBackExplanation(m.id), true);
}

void ConsoleScreen::after(const DeviceFacts &facts)
{
    options_.json ? words_.after(facts) : endLine();
}

void ConsoleScreen::result(const RunEnd &end)
{
    if (options_.json)
        return words_.result(end);
    if (succeeded(end.outcome))
        return endLine();
    // A question nobody was asked was not declined: the last line says what did happen.
    const bool notAsked = end.run && !end.run->notAskedBecause.empty();
    said("mova-update: " + (end.outcome == Outcome::Declined && notAsked ? end.text : outcomeName(end.outcome)), true);
}
