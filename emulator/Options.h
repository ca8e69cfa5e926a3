#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kivra_emulator {

enum class DeviceKind { arm, handle };

// Everything the command line sets. Defaults describe a healthy device.
struct Options {
    DeviceKind device = DeviceKind::arm;
    std::string link;  // symbolic link to the port, removed on exit; empty: none
    bool verbose = false;
    bool help = false;
    bool exit_with_parent = false;  // a parent killed outright leaves no emulator behind

    // Identity.
    uint16_t device_id = 1;
    uint8_t model_number = 4;  // 4 for the arm; the handle's default is HANDLE_MODEL_NUMBER
    uint8_t hardware_version = 1;
    uint8_t firmware_version = 12;
    std::array<uint8_t, 16> unique_id{};
    std::array<uint8_t, 16> firmware_id{};

    // Arm: a command holds until the next one or until this many seconds
    // without one have passed; then the arm goes limp.
    double watchdog = 0.25;
    // Arm: a hand's force on the end effector [N], read from standard input
    // as lines "fx fy fz", each held until the next; none once the input ends.
    bool hand_input = false;
    // Arm: states read from a file of rows "x y z vx vy vz" (position [m],
    // velocity [m/s]); the n-th force request is answered with the n-th
    // row, whatever the simulation does, and the last row once they run
    // out. Empty: the simulation answers.
    std::vector<std::array<float, 6>> replay_states;

    // Handle.
    double stream_rate = 100.0;    // escaped status frames per second; 0: none
    double stream_hold = 0.5;      // quiet time after a request or an open before frames flow [s]
    double battery_drain = 0.002;  // [V/s]
    uint8_t tool_data_remaining = 100;

    // Faults for the tests of programs built on the library.
    double reply_delay = 0.0;       // [s] added before every reply
    bool silent = false;            // never answers, never streams
    unsigned wrong_code_every = 0;  // every N-th reply carries WRONG_HEADER_CODE; 0: never
    unsigned truncate_every = 0;    // every N-th reply loses the back half of its payload
    long hang_up_after = -1;        // hang up after N requests; negative: never
};

constexpr uint8_t HANDLE_MODEL_NUMBER = 2;
// A code that neither device uses, so every reader rejects it.
constexpr uint8_t WRONG_HEADER_CODE = 0xEE;

// Parses argv; throws std::invalid_argument with a message for the user.
Options parse_options(int argc, char** argv);
const char* usage();

}  // namespace kivra_emulator
