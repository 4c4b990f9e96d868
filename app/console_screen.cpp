#include "console_screen.h"

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <poll.h>
#include <unistd.h>

namespace {
constexpr int BarWidth = 30;
constexpr int PlainStep = 10; // without a terminal, a line every this many percent
constexpr int AskingTurnMs = 100; // how soon a signal is heard while the question waits
} // namespace

std::string ConsoleScreen::quoted(const std::string &text)
{
    std::string q = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': q += "\\\""; break;
        case '\\': q += "\\\\"; break;
        case '\n': q += "\\n"; break;
        case '\r': q += "\\r"; break;
        case '\t': q += "\\t"; break;
        default:
            if (c < 0x20) {
                char u[8];
                std::snprintf(u, sizeof u, "\\u%04x", c);
                q += u;
            } else {
                q += char(c);
            }
        }
    }
    return q + "\"";
}

void ConsoleScreen::event(const std::string &name, const std::vector<std::pair<std::string, std::string>> &fields,
                          const std::string &plain)
{
    if (!options_.json) {
        endLine();
        if (!plain.empty())
            std::cout << plain << std::endl;
        return;
    }
    std::string line = "{\"event\":" + quoted(name);
    for (const auto &[key, value] : fields)
        line += "," + quoted(key) + ":" + value;
    std::cout << line << "}" << std::endl;
}

double ConsoleScreen::elapsed() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - stageStart_).count();
}

bool ConsoleScreen::confirm(const std::string &caption, const std::string &text)
{
    bool yes = options_.assumeYes;
    if (!yes && options_.interactive && !options_.json) {
        endLine();
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
    declined = !yes;
    event("question",
          {{"caption", quoted(caption)}, {"text", quoted(text)}, {"answer", yes ? "\"yes\"" : "\"no\""}},
          yes || options_.interactive ? std::string() : text + "\n(refused: standard input is no terminal; --yes answers it)");
    return yes;
}

void ConsoleScreen::message(const std::string &text)
{
    messages.push_back(text);
    event("message", {{"text", quoted(text)}}, text);
}

void ConsoleScreen::progressCaption(const std::string &text)
{
    endLine();
    stage_ = text;
    position_ = 0;
    lastPlain_ = -1;
    stageStart_ = std::chrono::steady_clock::now();
    event("stage", {{"name", quoted(text)}}, options_.liveLine ? std::string() : text);
}

void ConsoleScreen::setProgress(int position)
{
    position_ = std::clamp(position, 0, 100);
    const double seconds = elapsed();
    // The pace so far tells how long the rest takes.
    const double eta = position_ > 0 ? seconds * (100 - position_) / position_ : -1;
    if (options_.json) {
        char numbers[96];
        std::snprintf(numbers, sizeof numbers, "%.1f", seconds);
        std::vector<std::pair<std::string, std::string>> f {
            {"stage", quoted(stage_)}, {"percent", std::to_string(position_)}, {"elapsed_s", numbers}};
        if (eta >= 0) {
            std::snprintf(numbers, sizeof numbers, "%.1f", eta);
            f.emplace_back("eta_s", numbers);
        }
        event("progress", f, {});
    } else if (options_.liveLine) {
        drawLine();
    } else if (position_ / PlainStep != lastPlain_ / PlainStep || lastPlain_ < 0) {
        lastPlain_ = position_;
        std::cout << stage_ << " " << position_ << " %" << std::endl;
    }
}

void ConsoleScreen::drawLine()
{
    const int filled = position_ * BarWidth / 100;
    const double seconds = elapsed();
    char line[160];
    const int eta = position_ > 0 ? int(seconds * (100 - position_) / position_) : -1;
    std::snprintf(line, sizeof line, "\r%-24s [%-*s] %3d %%  %4ds", stage_.c_str(), BarWidth,
                  std::string(size_t(filled), '#').c_str(), position_, int(seconds));
    std::cout << line;
    if (eta >= 0)
        std::cout << "  ETA " << eta << "s   ";
    std::cout << std::flush;
    lineOpen_ = true;
}

void ConsoleScreen::endLine()
{
    if (lineOpen_) {
        std::cout << std::endl;
        lineOpen_ = false;
    }
}

ServiceFields ConsoleScreen::serviceFields()
{
    const Calibration &c = calibration;
    return {serial, c.koefX, c.offsX, c.koefY, c.offsY, c.koefZ, c.offsZ, c.koefM, info};
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
