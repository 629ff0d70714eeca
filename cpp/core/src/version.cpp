// Keeps the core library non-empty while kernels are added file by file.
namespace korvane {
const char* core_version() { return "0.1.0"; }
}  // namespace korvane
