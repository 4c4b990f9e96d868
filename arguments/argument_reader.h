#pragma once
#include <optional>
#include <string>
#include <string_view>

// A program's command line, one argument at a time, as mova-update and mova-sim read theirs:
// an option takes the argument after it as its value, whatever that looks like (mova-sim's
// --fw-after "" keeps the version), and the options apply in the order given.
//
// Why by hand and not with QCommandLineParser:
// - the order matters across options: several of mova-sim's options set the same fact and the
//   last one given wins (--serial and --serial-hex; --battery, --battery-percent, --battery-raw
//   and --no-battery; --fw-after drops the date), and the parser keeps each option's values
//   apart from the others';
// - a usage error is a text that tests and operators' scripts rely on, with exit status 1
//   ("mova-update: option '--port' needs a value", "unknown option '--x'"), where the parser
//   words its own ("Missing value after ...", "Unknown option ...");
// - the parser would take spellings these programs never had and an operator's typo would
//   then do something instead of being refused: --port=PATH, -port, compacted -hn, and "--"
//   ending the options;
// - --help and --version print the programs' own texts, written out in full, not generated.
class ArgumentReader {
public:
    ArgumentReader(int argc, char **argv) : argc_(argc), argv_(argv) {}

    // The next argument, false once there is none.
    bool next();
    const std::string &arg() const { return arg_; }
    // The argument after the current one, taken as its value; none when the line ends.
    std::optional<std::string> value();
    // --help or -h: the usage text is asked for.
    bool asksHelp() const { return arg_ == "--help" || arg_ == "-h"; }

private:
    int argc_;
    char **argv_;
    int i_ = 0;
    std::string arg_;
};

// The row of `table` (an array of rows with a `name`) named `arg`, or null.
template <typename Row, size_t N>
const Row *optionNamed(const Row (&table)[N], std::string_view arg)
{
    for (const Row &row : table)
        if (arg == row.name)
            return &row;
    return nullptr;
}
