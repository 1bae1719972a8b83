// The shared library's own translation unit (the layers it is made of come in whole as
// static archives). It records the library version in the binary, not exported.
namespace brindle {
extern const char kLibraryVersion[];
const char kLibraryVersion[] = "Brindle 0.1.0";
}  // namespace brindle
