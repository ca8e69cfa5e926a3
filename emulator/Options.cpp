#include "Options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kivra_emulator {

namespace {

// "Kivra-emulator" followed by 00 01.
constexpr std::array<uint8_t, 16> DEFAULT_UNIQUE_ID = {0x4b, 0x69, 0x76, 0x72, 0x61, 0x2d, 0x65, 0x6d,
                                                       0x75, 0x6c, 0x61, 0x74, 0x6f, 0x72, 0x00, 0x01};
// "firmware-0.1.12" followed by 00.
constexpr std::array<uint8_t, 16> DEFAULT_FIRMWARE_ID = {0x66, 0x69, 0x72, 0x6d, 0x77, 0x61, 0x72, 0x65,
                                                         0x2d, 0x30, 0x2e, 0x31, 0x2e, 0x31, 0x32, 0x00};

unsigned long parse_unsigned(const std::string& option, const std::string& text, unsigned long max) {
    if (text.empty() || text[0] == '-' || text[0] == '+') {
        throw std::invalid_argument(option + " needs a whole number from 0 to " + std::to_string(max));
    }
    errno = 0;
    char* end = nullptr;
    // Decimal, or hexadecimal with 0x; a leading zero does not mean octal.
    const bool hexadecimal = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const unsigned long value = std::strtoul(text.c_str(), &end, hexadecimal ? 16 : 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || value > max) {
        throw std::invalid_argument(option + " needs a whole number from 0 to " + std::to_string(max) + ", got '" +
                                    text + "'");
    }
    return value;
}

double parse_seconds(const std::string& option, const std::string& text) {
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || end == text.c_str() || *end != '\0' || !std::isfinite(value) || value < 0) {
        throw std::invalid_argument(option + " needs a number of at least 0, got '" + text + "'");
    }
    return value;
}

std::array<uint8_t, 16> parse_identifier(const std::string& option, const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (c != '-') digits.push_back(c);
    }
    std::array<uint8_t, 16> value{};
    if (digits.size() != 32) throw std::invalid_argument(option + " needs 32 hexadecimal digits, got '" + text + "'");
    for (std::size_t i = 0; i < 16; ++i) {
        const std::string pair = digits.substr(2 * i, 2);
        char* end = nullptr;
        const unsigned long byte = std::strtoul(pair.c_str(), &end, 16);
        if (end != pair.c_str() + 2) {
            throw std::invalid_argument(option + " needs 32 hexadecimal digits, got '" + text + "'");
        }
        value[i] = static_cast<uint8_t>(byte);
    }
    return value;
}

// Rows of six numbers; '#' begins a comment.
std::vector<std::array<float, 6>> read_states(const std::string& option, const std::string& path) {
    std::ifstream file(path);
    if (!file) throw std::invalid_argument(option + " cannot read '" + path + "': " + std::strerror(errno));
    std::vector<std::array<float, 6>> rows;
    std::string line;
    for (std::size_t number = 1; std::getline(file, line); ++number) {
        const std::string text = line.substr(0, line.find('#'));
        if (text.find_first_not_of(" \t\r") == std::string::npos) continue;
        std::istringstream fields(text);
        std::array<float, 6> row{};
        bool good = true;
        for (float& value : row) good = good && (fields >> value) && std::isfinite(value);
        std::string extra;
        if (!good || (fields >> extra)) {
            throw std::invalid_argument(option + " needs rows of six finite numbers 'x y z vx vy vz'; line " +
                                        std::to_string(number) + " of '" + path + "' is '" + line + "'");
        }
        rows.push_back(row);
    }
    if (rows.empty()) throw std::invalid_argument(option + " found no rows in '" + path + "'");
    return rows;
}

}  // namespace

const char* usage() {
    return "usage: kivra-emulator [--device arm|handle] [options]\n"
           "\n"
           "Plays an arm device (model 4) or a handle on a new pseudo-terminal and serves\n"
           "until SIGINT or SIGTERM. The first line on standard output is the port path,\n"
           "the second what it serves there.\n"
           "\n"
           "  --device arm|handle       which device to play (arm)\n"
           "  --link PATH               also create a symbolic link PATH to the port, removed on exit\n"
           "  --device-id N             16-bit device id (1)\n"
           "  --unique-id HEX           the arm's 16-byte unique id, 32 hex digits\n"
           "  --firmware-id HEX         the arm's 16-byte firmware value, 32 hex digits\n"
           "  --model N                 model number (arm 4, handle 2)\n"
           "  --hardware-version N      hardware version byte (1)\n"
           "  --firmware-version N      firmware version byte (12)\n"
           "  --watchdog S              arm: a command holds this long without a new one (0.25)\n"
           "  --hand-input              arm: a hand pushes the end effector with the force [N] read\n"
           "                            from standard input, a line 'fx fy fz' each, held until the next\n"
           "  --replay-states FILE      arm: answer the n-th force request with the n-th row of FILE,\n"
           "                            'x y z vx vy vz' [m, m/s] (the last row once they run out)\n"
           "  --stream-rate HZ          handle: escaped status frames per second, 0 for none (100)\n"
           "  --stream-hold S           handle: frames pause this long after a request or an open,\n"
           "                            so that none comes between a request and its reply (0.5);\n"
           "                            a frame is sent only when the host has read the last one\n"
           "  --battery-drain V         handle: battery drain per second (0.002)\n"
           "  --tool-data N             handle: tool data remaining byte (100)\n"
           "faults:\n"
           "  --delay S                 wait S seconds before every reply\n"
           "  --silent                  never answer and never stream\n"
           "  --wrong-code-every N      every N-th reply carries the unknown header code 238\n"
           "  --truncate-every N        every N-th reply loses the back half of its payload\n"
           "  --hang-up-after N         hang up (close the port and exit) after N requests\n"
           "  --verbose                 log connections and faults on standard error\n"
           "  --exit-with-parent        exit when the program that started it ends, however it ends\n"
           "  --help                    show this text\n";
}

Options parse_options(int argc, char** argv) {
    Options options;
    options.unique_id = DEFAULT_UNIQUE_ID;
    options.firmware_id = DEFAULT_FIRMWARE_ID;
    bool model_given = false;

    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        std::string value;
        bool has_value = false;
        const auto equals = option.find('=');
        if (option.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = option.substr(equals + 1);
            option = option.substr(0, equals);
            has_value = true;
        }
        auto take_value = [&]() -> const std::string& {
            if (!has_value) {
                if (i + 1 >= argc) throw std::invalid_argument(option + " needs a value");
                value = argv[++i];
                has_value = true;
            }
            return value;
        };
        auto no_value = [&]() {
            if (has_value) throw std::invalid_argument(option + " takes no value");
        };

        if (option == "--help" || option == "-h") {
            no_value();
            options.help = true;
        } else if (option == "--device") {
            const std::string& kind = take_value();
            if (kind == "arm") {
                options.device = DeviceKind::arm;
            } else if (kind == "handle") {
                options.device = DeviceKind::handle;
            } else {
                throw std::invalid_argument("--device needs arm or handle, got '" + kind + "'");
            }
        } else if (option == "--link") {
            options.link = take_value();
            if (options.link.empty()) throw std::invalid_argument("--link needs a path");
        } else if (option == "--device-id") {
            options.device_id = static_cast<uint16_t>(parse_unsigned(option, take_value(), 0xFFFF));
        } else if (option == "--unique-id") {
            options.unique_id = parse_identifier(option, take_value());
        } else if (option == "--firmware-id") {
            options.firmware_id = parse_identifier(option, take_value());
        } else if (option == "--model") {
            options.model_number = static_cast<uint8_t>(parse_unsigned(option, take_value(), 0xFF));
            model_given = true;
        } else if (option == "--hardware-version") {
            options.hardware_version = static_cast<uint8_t>(parse_unsigned(option, take_value(), 0xFF));
        } else if (option == "--firmware-version") {
            options.firmware_version = static_cast<uint8_t>(parse_unsigned(option, take_value(), 0xFF));
        } else if (option == "--watchdog") {
            options.watchdog = parse_seconds(option, take_value());
        } else if (option == "--replay-states") {
            options.replay_states = read_states(option, take_value());
        } else if (option == "--hand-input") {
            no_value();
            options.hand_input = true;
        } else if (option == "--stream-rate") {
            options.stream_rate = parse_seconds(option, take_value());
            if (options.stream_rate > 10000) throw std::invalid_argument("--stream-rate is limited to 10000");
        } else if (option == "--stream-hold") {
            options.stream_hold = parse_seconds(option, take_value());
        } else if (option == "--battery-drain") {
            options.battery_drain = parse_seconds(option, take_value());
        } else if (option == "--tool-data") {
            options.tool_data_remaining = static_cast<uint8_t>(parse_unsigned(option, take_value(), 0xFF));
        } else if (option == "--delay") {
            options.reply_delay = parse_seconds(option, take_value());
        } else if (option == "--silent") {
            no_value();
            options.silent = true;
        } else if (option == "--wrong-code-every") {
            options.wrong_code_every = static_cast<unsigned>(parse_unsigned(option, take_value(), 1000000));
        } else if (option == "--truncate-every") {
            options.truncate_every = static_cast<unsigned>(parse_unsigned(option, take_value(), 1000000));
        } else if (option == "--hang-up-after") {
            options.hang_up_after = static_cast<long>(parse_unsigned(option, take_value(), 1000000000));
        } else if (option == "--verbose") {
            no_value();
            options.verbose = true;
        } else if (option == "--exit-with-parent") {
            no_value();
            options.exit_with_parent = true;
        } else {
            throw std::invalid_argument("unknown option '" + std::string(argv[i]) + "'");
        }
    }
    if (options.device == DeviceKind::handle && !model_given) options.model_number = HANDLE_MODEL_NUMBER;
    return options;
}

}  // namespace kivra_emulator
