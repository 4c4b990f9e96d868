// mova-image-info FILE.hex [HARDWARE_VERSION]
// What the update would make of an Intel HEX text: image length, highest offset, the
// device's capacity and the block counts; the loader's own message when it fails.
// Exit status: 0 loaded, 1 failed to load or no end-of-file record, 2 usage.
#include "firmware_image.h"

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <memory>

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: mova-image-info FILE.hex [HARDWARE_VERSION]\n");
        return 2;
    }
    const int hardware = argc == 3 ? std::atoi(argv[2]) : 24;
    // Read as the tool reads its carried text: whole, in one piece.
    std::FILE *file = std::fopen(argv[1], "rb");
    std::unique_ptr<char[]> text;
    size_t length = 0;
    if (file && std::fseek(file, 0, SEEK_END) == 0) {
        const long size = std::ftell(file);
        std::rewind(file);
        text.reset(new char[size_t(std::max(size, 1L))]); // no need to clear what is read over
        length = std::fread(text.get(), 1, size_t(std::max(size, 0L)), file);
    }
    if (file)
        std::fclose(file);
    if (length == 0) {
        std::printf("Hex-File cannot open!\n");
        return 1;
    }
    const ImageLoad load = parseIntelHex(text.get(), length, hardware);
    if (!load.ok) {
        std::printf("%s\n", load.message.c_str());
        return 1;
    }
    const FirmwareImage &image = load.image;
    if (!image.endOfFile) {
        std::printf("no end-of-file record: the update would stop without a word\n");
        return 1;
    }
    std::printf("hardware version  %d\n", hardware);
    std::printf("records           %d\n", image.records + 1);
    std::printf("linear base       0x%08X\n", image.linearBase);
    std::printf("image length      %u\n", image.length());
    std::printf("imageTop          0x%X\n", image.imageTop);
    std::printf("capacity          0x%X\n", image.capacity());
    std::printf("blocks of 1024    %u\n", (image.length() + 1023) / 1024);
    std::printf("blocks of 512     %u\n", (image.length() + 511) / 512);
    return 0;
}
