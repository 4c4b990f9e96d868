#include "argument_reader.h"

bool ArgumentReader::next()
{
    if (++i_ >= argc_)
        return false;
    arg_ = argv_[i_];
    return true;
}

std::optional<std::string> ArgumentReader::value()
{
    if (i_ + 1 >= argc_)
        return std::nullopt;
    return std::string(argv_[++i_]);
}
