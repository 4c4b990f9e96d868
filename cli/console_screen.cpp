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

std::string ConsoleScreen::quoted(const std::string &text)
{
    return jsonQuoted(text);
}

void ConsoleScreen::event(const std::string &name, const std::vector<std::pair<std::string, std::string>> &fields,
                          const std::string &plain, bool error)
{
    if (!options_.json) {
        endLine();
        if (!plain.empty())
            (error ? std::cerr : std::cout) << plain << std::endl;
        return;
    }
    std::string line = "{\"event\":" + quoted(name);
    for (const auto &[key, value] : fields)
        line += "," + quoted(key) + ":" + value;
    std::cout << line << "}" << std::endl;
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
    event("question",
          {{"caption", quoted(caption)}, {"subject", quoted(questionSubject)}, {"text", quoted(text)},
           {"asked", asked ? "true" : "false"}, {"answer", yes ? "\"yes\"" : "\"no\""}},
          yes || options_.interactive ? std::string() : text + "\n(refused: standard input is no terminal; --yes answers it)",
          !yes);
    return yes;
}

bool ConsoleScreen::confirmLowBattery(int percent)
{
    // No question here: a script would answer it without reading. Going on takes an option.
    const std::string text = "Battery low (" + std::to_string(percent) +
                             " %): an update that stops halfway leaves the device without working firmware";
    if (allowLowBattery) {
        event("warning", {{"text", quoted(text)}, {"percent", std::to_string(percent)}},
              "mova-update: " + text + "; going on as --allow-low-battery says", true);
        return true;
    }
    failure(text + ". Charge it, or give --allow-low-battery to update all the same.");
    return false;
}

void ConsoleScreen::message(const std::string &text)
{
    messages.push_back(text);
    event("message", {{"text", quoted(text)}}, text);
}

void ConsoleScreen::failure(const std::string &text)
{
    messages.push_back(text);
    // The message stays as the device's tool has always said it; what it means comes after.
    const std::string explanation = explanationText(text);
    event("message", {{"text", quoted(text)}, {"failure", "true"}, {"explanation", quoted(explanation)}},
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
        event("diagnostic", {{"line", quoted(line)}}, {});
    } else {
        endLine();
        std::cout << line << std::endl;
    }
}
