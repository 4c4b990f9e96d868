#include "console_screen.h"
#include "failure_guide.h"

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <poll.h>
#include <unistd.h>

namespace {
constexpr int AskingTurnMs = 100; // how soon a signal is heard while the question waits
} // namespace

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
    if (!yes && options_.interactive && !options_.json) {
        asked = true;
        endLine();
        if (!questionSubject.empty())
            std::cout << caption << " of " << questionSubject << "\n";
        std::cout << caption << ": " << text << "\nGo on? [y/N] " << std::flush;
        for (;;) {
            pollfd keyboard {STDIN_FILENO, POLLIN, 0};
            const int ready = ::poll(&keyboard, 1, AskingTurnMs);
            if (ready > 0 || (ready < 0 && errno != EINTR))
                break;
            if (whileAsking)
                whileAsking();
        }
        std::string answer;
        std::getline(std::cin, answer);
        yes = answer == "y" || answer == "Y" || answer == "yes";
    }
    event(JsonLine::event("question")
              .text("caption", caption)
              .text("subject", questionSubject)
              .text("text", text)
              .flag("asked", asked)
              .text("answer", yes ? "yes" : "no"),
          yes || options_.interactive ? std::string()
                                      : text + "\n(refused: standard input is no terminal; --yes answers it)",
          !yes);
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
    failure(text + ". Charge it, or give --allow-low-battery to update all the same.");
    return false;
}

void ConsoleScreen::message(const std::string &text)
{
    messages.push_back(text);
    event(JsonLine::event("message").text("text", text), text);
}

void ConsoleScreen::failure(const std::string &text)
{
    messages.push_back(text);
    // The message stays as the device's tool has always said it; what it means comes after.
    const std::string explanation = explanationText(text);
    event(JsonLine::event("message").text("text", text).flag("failure", true).text("explanation", explanation),
          explanation.empty() ? text : text + "\n  " + explanation, true);
}

ServiceFields ConsoleScreen::serviceFields()
{
    const Calibration &c = calibration;
    return {serialBytes, c.koefX, c.offsX, c.koefY, c.offsY, c.koefZ, c.offsZ, c.koefM, info};
}

void ConsoleScreen::diagnostic(const std::string &line)
{
    // The verify pass's two lines go to standard output as the window's do, or as events.
    if (options_.json) {
        event(JsonLine::event("diagnostic").text("line", line), {});
    } else {
        endLine();
        std::cout << line << std::endl;
    }
}
