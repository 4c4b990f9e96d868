#pragma once
#include <cstddef>
#include <string>

// Opens a file this program keeps (the run record, its trace, a report) for writing,
// `flags` being O_WRONLY or O_RDWR with O_APPEND or O_CREAT as wanted. Only a regular file is
// taken: a FIFO, a device or a folder put in its place is refused before it can hold the
// open or take the bytes, and with `followLink` false a symbolic link is refused instead of
// followed. The descriptor (close-on-exec, blocking as usual), or -1 with the reason.
int openRegularFile(const std::string &path, int flags, bool followLink, std::string &reason);

// Reads the whole of a file opened so, from its start, when it holds at most `maxBytes`: its
// size is looked at before the first byte is read, and a file that grows past it while it is
// read is refused too. False with the reason; the descriptor stays the caller's.
bool readOpenedFile(int fd, size_t maxBytes, std::string &bytes, std::string &reason);

// Reads the whole of such a file, by the same rules (a FIFO or device is refused, a link not
// followed unless `followLink`, nothing over `maxBytes` read); false with the reason.
bool readRegularFile(const std::string &path, size_t maxBytes, std::string &bytes, std::string &reason,
                     bool followLink = false);

// The reasons of a refusal for what the path is, beside the system's own texts.
inline constexpr const char *NotARegularFile = "not a regular file";
inline constexpr const char *LinkNotFollowed = "a symbolic link, not followed";
// "larger than 64 MiB": the reason a file over `maxBytes` is refused.
std::string largerThan(size_t maxBytes);
