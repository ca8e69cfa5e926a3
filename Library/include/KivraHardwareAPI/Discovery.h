#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace Kivra::HardwareAPI::Discovery {

// Which name pattern a candidate port matched, tested in this order.
enum class PortKind : int { acm = 1, usb = 2, rfcomm = 3 };

struct PortEntry {
    std::string path;  // canonical, symbolic links resolved
    PortKind kind;
};

// Candidate ports among the entries of `directory`, in directory order.
// A missing directory gives an empty list; a matching entry whose canonical
// path cannot be formed (a dangling link) throws.
std::vector<PortEntry> list_serial_ports(const std::filesystem::path& directory = "/dev");

// 1 when an arm device of model 4 answered the wakeup, else 0.
int32_t probe_pendra3(const char* port_path);
// 1 when a handle answered the wakeup with an info or status message, else 0.
int32_t probe_handle(const char* port_path);
// probe_handle answered 1 within 5 [s].
bool probe_handle_with_timeout(const char* port_path);

// Paths of the ports where the device kind answered, in directory order.
// Probes run one after another, each on a thread of its own.
std::vector<std::string> detect_pendra3s(const std::filesystem::path& directory = "/dev");
std::vector<std::string> detect_handles(const std::filesystem::path& directory = "/dev");
std::vector<std::string> detect_wired_handles(const std::filesystem::path& directory = "/dev");
std::vector<std::string> detect_wireless_handles(const std::filesystem::path& directory = "/dev");

}  // namespace Kivra::HardwareAPI::Discovery
