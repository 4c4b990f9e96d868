#pragma once
#include <string>

// Opens a file this program keeps (the run record, its trace, a report) for writing,
// `flags` being O_WRONLY or O_RDWR with O_APPEND or O_CREAT as wanted. Only a regular file is
// taken: a FIFO, a device or a folder put in its place is refused before it can hold the
// open or take the bytes, and with `followLink` false a symbolic link is refused instead of
// followed. The descriptor (close-on-exec, blocking as usual), or -1 with the reason.
int openRegularFile(const std::string &path, int flags, bool followLink, std::string &reason);

// Reads the whole of such a file, by the same rule (a FIFO or device is refused, a link not
// followed); false with the reason.
bool readRegularFile(const std::string &path, std::string &bytes, std::string &reason);

// The reasons of a refusal for what the path is, beside the system's own texts.
inline constexpr const char *NotARegularFile = "not a regular file";
inline constexpr const char *LinkNotFollowed = "a symbolic link, not followed";
