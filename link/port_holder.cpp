#include "port_holder.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <vector>

namespace {

// The process that holds a lock on this node, as the kernel's table of locks lists it
// ("1: FLOCK  ADVISORY  WRITE 4250 00:1a:3 0 EOF"); 0 for none. A waiter ("1: -> FLOCK ...")
// holds nothing.
long lockHolder(const struct stat &st)
{
    std::ifstream locks("/proc/locks");
    char node[64];
    std::snprintf(node, sizeof node, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long>(st.st_ino));
    for (std::string line; std::getline(locks, line);) {
        std::istringstream words(line);
        std::string number, kind, mode, access, where;
        long pid = 0;
        if (words >> number >> kind >> mode >> access >> pid >> where && kind != "->" && where == node)
            return pid;
    }
    return 0;
}

std::vector<std::string> commandLine(long pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::vector<std::string> words;
    for (std::string word; std::getline(file, word, '\0');)
        words.push_back(word);
    return words;
}

} // namespace

std::string portHolder(const std::string &path)
{
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return {};
    const long pid = lockHolder(st);
    if (pid <= 0)
        return {};
    const std::string process = "process " + std::to_string(pid);
    const std::vector<std::string> words = commandLine(pid);
    for (size_t i = 0; i + 1 < words.size(); ++i)
        if (words[i] == "--worker") // the batch names itself to each of its workers
            return "the batch " + words[i + 1] + " (" + process + ")";
    const std::string program = words.empty() ? std::string() : words.front().substr(words.front().find_last_of('/') + 1);
    if (program == "mova-update" || program == "QTX_MOVA_Update")
        return "the update run of " + process + " (" + program + ")";
    return {}; // another program: its own business
}
