#include "KivraHardwareAPI/Discovery.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <future>
#include <iostream>
#include <mutex>
#include <optional>

#include "KivraHardwareAPI/Pendra3.h"
#include "KivraHardwareAPI/Probe.h"
#include "KivraHardwareAPI/SerialStream.h"

namespace Kivra::HardwareAPI::Discovery {

namespace {

namespace fs = std::filesystem;

namespace Code = Devices::Pendra3Code;
constexpr std::chrono::seconds ARM_PROBE_LIMIT{3};
constexpr std::chrono::seconds HANDLE_PROBE_LIMIT{5};

std::optional<PortKind> classify(const std::string& name) {
    if (name.find(ACM_PORT_PATTERN) != std::string::npos) return PortKind::acm;
    if (name.find(USB_PORT_PATTERN) != std::string::npos) return PortKind::usb;
    if (name.find(RFCOMM_PORT_PATTERN) != std::string::npos) return PortKind::rfcomm;
    return std::nullopt;
}

// Runs the probe on a thread of its own and takes its answer only if it came
// within the limit. A late probe is still waited for, so that probes never
// overlap on the same machine's ports.
bool probe_within(int32_t (*probe)(const char*), const std::string& path, std::chrono::seconds limit) {
    auto answer = std::async(std::launch::async, [probe, path] { return probe(path.c_str()); });
    const auto deadline = std::chrono::system_clock::now() + limit;
    if (answer.wait_until(deadline) == std::future_status::ready) {
        try {
            return answer.get() != 0;
        } catch (const std::exception& error) {
            std::cerr << error.what() << '\n';
            return false;
        }
    }
    answer.wait();
    answer.get();  // a late probe's exception is not caught here
    return false;
}

std::vector<std::string> detect_handles_of(const fs::path& directory, std::optional<PortKind> kind) {
    std::vector<std::string> found;
    for (const PortEntry& entry : list_serial_ports(directory)) {
        if (kind && entry.kind != *kind) continue;
        if (probe_handle_with_timeout(entry.path.c_str())) found.push_back(entry.path);
    }
    return found;
}

}  // namespace

std::vector<PortEntry> list_serial_ports(const fs::path& directory) {
    std::vector<PortEntry> ports;
    if (!fs::exists(fs::status(directory))) return ports;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
        const std::string name = entry.path().filename().string();
        const std::optional<PortKind> kind = classify(name);
        if (!kind) continue;
        ports.push_back({fs::canonical(directory / name).string(), *kind});
    }
    return ports;
}

int32_t probe_pendra3(const char* port_path) {
    try {
        IO::SerialStream stream(port_path, false);
        if (stream.open() != 1) return 0;
        Devices::Pendra3 arm(&stream);
        std::lock_guard<std::recursive_mutex> lock(stream.exchange_mutex());
        const ProbeResult answer =
            probe_device(arm, ProbeRule{Devices::ExchangeRule::devices_own(arm.timeout), ProbeKind::arm, true});
        // Take in whatever the port sends, so a stray reply is not left behind.
        if (answer.code != Code::DEVICE_INFO) arm.await_payload(Devices::BUFFER_SIZE);
        stream.close();
        return answer.kind == ProbeKind::arm ? 1 : 0;
    } catch (const std::exception& error) {
        std::printf("exception: %s\n", error.what());
        return 0;
    }
}

int32_t probe_handle(const char* port_path) {
    try {
        IO::SerialStream stream(port_path, false);
        if (stream.open() != 1) return 0;
        Devices::Device handle(&stream);
        std::lock_guard<std::recursive_mutex> lock(stream.exchange_mutex());
        // The handle's own probe takes what the port held for the answer.
        const ProbeResult answer = probe_device(
            handle, ProbeRule{Devices::ExchangeRule::devices_own(handle.timeout), ProbeKind::handle, false});
        stream.close();
        return answer.kind == ProbeKind::handle ? 1 : 0;
    } catch (const std::exception& error) {
        std::cerr << error.what() << '\n';
        return 0;
    }
}

bool probe_handle_with_timeout(const char* port_path) {
    return probe_within(probe_handle, port_path, HANDLE_PROBE_LIMIT);
}

std::vector<std::string> detect_pendra3s(const fs::path& directory) {
    std::vector<std::string> found;
    for (const PortEntry& entry : list_serial_ports(directory)) {
        if (entry.kind != PortKind::acm) continue;
        if (probe_within(probe_pendra3, entry.path, ARM_PROBE_LIMIT)) found.push_back(entry.path);
    }
    return found;
}

std::vector<std::string> detect_handles(const fs::path& directory) {
    return detect_handles_of(directory, std::nullopt);
}

std::vector<std::string> detect_wired_handles(const fs::path& directory) {
    return detect_handles_of(directory, PortKind::usb);
}

std::vector<std::string> detect_wireless_handles(const fs::path& directory) {
    return detect_handles_of(directory, PortKind::rfcomm);
}

}  // namespace Kivra::HardwareAPI::Discovery
