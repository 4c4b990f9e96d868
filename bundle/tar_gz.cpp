#include "tar_gz.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <zlib.h>

namespace {

constexpr int TarBlock = 512;
constexpr int TarRecord = 20 * TarBlock; // what tar itself pads an archive to
constexpr int GzipWindowBits = 15 + 16;  // deflate's largest window, with a gzip header and trailer
constexpr size_t OutChunk = 64 * 1024;

// An octal field of `width` bytes: width-1 digits and a NUL (the header starts zeroed).
void octal(char *field, int width, uint64_t value)
{
    for (int i = width - 2; i >= 0; --i, value >>= 3)
        field[i] = char('0' + (value & 7));
}

} // namespace

QByteArray ustarHeader(const std::string &name, uint64_t size, int64_t mtime)
{
    QByteArray h(TarBlock, '\0');
    char *b = h.data();
    std::memcpy(b, name.data(), std::min<size_t>(name.size(), 100));
    octal(b + 100, 8, 0644);
    octal(b + 108, 8, 0); // uid
    octal(b + 116, 8, 0); // gid
    octal(b + 124, 12, size);
    octal(b + 136, 12, uint64_t(mtime < 0 ? 0 : mtime));
    b[156] = '0'; // a regular file
    std::memcpy(b + 257, "ustar", 6); // magic with its NUL, then the version "00"
    std::memcpy(b + 263, "00", 2);
    std::memcpy(b + 265, "root", 4);
    std::memcpy(b + 297, "root", 4);
    // The checksum is taken with its own field as spaces, and written as six digits, NUL, space.
    std::memset(b + 148, ' ', 8);
    unsigned sum = 0;
    for (int i = 0; i < TarBlock; ++i)
        sum += static_cast<unsigned char>(b[i]);
    std::snprintf(b + 148, 7, "%06o", sum);
    b[154] = '\0';
    b[155] = ' ';
    return h;
}

struct TarGzWriter::Stream {
    z_stream z {};
    bool open = false;
};

TarGzWriter::TarGzWriter(int fd, int64_t mtime) : fd_(fd), mtime_(mtime), stream_(std::make_unique<Stream>())
{
    stream_->open = deflateInit2(&stream_->z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, GzipWindowBits, 8,
                                 Z_DEFAULT_STRATEGY) == Z_OK;
    if (!stream_->open)
        error = "cannot start compressing (out of memory)";
}

TarGzWriter::~TarGzWriter()
{
    if (stream_->open)
        deflateEnd(&stream_->z);
}

bool TarGzWriter::put(const char *data, size_t size, bool last)
{
    if (!error.empty())
        return false;
    z_stream &z = stream_->z;
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
    z.avail_in = uInt(size);
    char out[OutChunk];
    int state = Z_OK;
    do {
        z.next_out = reinterpret_cast<Bytef *>(out);
        z.avail_out = uInt(sizeof out);
        state = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
        if (state == Z_STREAM_ERROR) {
            error = "cannot compress";
            return false;
        }
        for (size_t done = 0, have = sizeof out - z.avail_out; done < have;) {
            const ssize_t n = ::write(fd_, out + done, have - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                error = std::strerror(n < 0 ? errno : ENOSPC);
                return false;
            }
            done += size_t(n);
        }
    } while (z.avail_out == 0); // deflate had more to give than fitted
    if (last && state != Z_STREAM_END) {
        error = "cannot compress";
        return false;
    }
    written_ += size;
    return true;
}

bool TarGzWriter::add(const std::string &name, const QByteArray &bytes)
{
    const QByteArray padding((TarBlock - bytes.size() % TarBlock) % TarBlock, '\0');
    const QByteArray header = ustarHeader(name, uint64_t(bytes.size()), mtime_);
    return put(header.constData(), size_t(header.size())) && put(bytes.constData(), size_t(bytes.size())) &&
           put(padding.constData(), size_t(padding.size()));
}

bool TarGzWriter::finish()
{
    const uint64_t end = written_ + 2 * TarBlock;
    const QByteArray zeros(int(2 * TarBlock + (TarRecord - end % TarRecord) % TarRecord), '\0');
    return put(zeros.constData(), size_t(zeros.size()), true);
}
