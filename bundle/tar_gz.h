#pragma once
#include <QByteArray>
#include <cstdint>
#include <memory>
#include <string>

// The 512-byte ustar header of a regular file: mode 0644, owner and group 0 named "root".
// `name` is at most 100 bytes (the caller's names are short and fixed).
QByteArray ustarHeader(const std::string &name, uint64_t size, int64_t mtime);

// A gzip-compressed tar archive written to an open descriptor, member after member, so that
// only one member is held in memory at a time. Each call is false once anything failed, with
// the system's reason in `error`; the descriptor stays the caller's.
class TarGzWriter {
public:
    TarGzWriter(int fd, int64_t mtime);
    ~TarGzWriter();
    TarGzWriter(const TarGzWriter &) = delete;
    TarGzWriter &operator=(const TarGzWriter &) = delete;

    bool add(const std::string &name, const QByteArray &bytes);
    // The archive's end (two empty blocks, padded to a whole record) and the gzip trailer.
    bool finish();
    std::string error;

private:
    bool put(const char *data, size_t size, bool last = false);

    int fd_;
    int64_t mtime_;
    uint64_t written_ = 0; // tar bytes so far, for the padding of the last record
    struct Stream;
    std::unique_ptr<Stream> stream_;
};
