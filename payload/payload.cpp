// The carried payloads live in this library's resources (:/FIRMWARE_HEX, :/LANGUAGE_TRA).
// A translation unit of its own keeps the library a real archive for every generator.
namespace payload {
int anchor = 0;
}
