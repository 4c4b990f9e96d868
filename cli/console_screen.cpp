#include "console_screen.h"
#include "failure_guide.h"
#include "live_columns.h"
#include "output_writer.h"

#include <algorithm>
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

bool ConsoleScreen::confirm(const std::string &caption, const std::string &text)
{
    bool yes = options_.assumeYes;
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
    return yes;
}

bool ConsoleScreen::confirmLowBattery(int percent)
{
    // No question here: a script would answer it without reading. Going on takes an option.
    const std::string text = messageText(
        MessageId::BatteryLow,
        std::to_string(percent) + " %): an update that stops halfway leaves the device without working firmware");
    if (allowLowBattery) {
        event(JsonLine::event("warning").text("text", text).number("percent", percent),
              "mova-update: " + text + "; going on as --allow-low-battery says", true);
        return true;
    }
    failure(MessageId::BatteryLow, text + ". Charge it, or give --allow-low-battery to update all the same.");
    return false;
}

void ConsoleScreen::message(const std::string &text)
{
    // After a table that failed, the run still says the firmware's success, as the window
    // does beside its failure box. Here the failure stays the last word: a success under it
    // would read as the result.
    if (messages.size() > successesSaid_)
        return;
    ++successesSaid_;
    messages.push_back(text);
    event(JsonLine::event("message").text("text", text), text);
}

void ConsoleScreen::failure(const std::string &text)
{
    failure(messageIdOf(text), text);
}

void ConsoleScreen::failure(MessageId explainedBy, const std::string &text, const FailurePlace &place)
{
    messages.push_back(text);
    // The message stays as the device's tool has always said it; where and what it means come after.
    const std::string explanation = explanationText(explainedBy, options_.frontEnd);
    JsonLine line = JsonLine::event("message").text("text", text).flag("failure", true);
    std::string plain = text;
    if (place.line > 0) {
        line.number("line", place.line).text("file", place.file);
        plain += "\n  line " + std::to_string(place.line) + " of " + shownText(place.file);
    }
    event(line.text("explanation", explanation), explanation.empty() ? plain : plain + "\n  " + explanation, true);
}

ServiceFields ConsoleScreen::serviceFields()
{
    const Calibration &c = calibration;
    return {serialBytes, c.koefX, c.offsX, c.koefY, c.offsY, c.koefZ, c.offsZ, c.koefM, info};
}

void ConsoleScreen::diagnostic(const std::string &line)
{
    // The verify pass's two lines: events, or warnings on standard error, as the run goes on.
    readBackWarnings.push_back(line);
    event(JsonLine::event("diagnostic").text("line", line),
          "mova-update: warning: " + line + "\n  " + readBackExplanation(messageIdOf(line)), true);
}
