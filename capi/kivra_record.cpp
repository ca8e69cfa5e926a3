// Recordings behind the C interface: a Recorder of the core per handle, tied
// to its loop's handle so that a loop freed first ends its recordings.

#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <system_error>

#include "KivraHardwareAPI/Recording.h"
#include "capi_internal.h"
#include "kivra/kivra_record.h"
#include "servo_internal.h"

using namespace kivra_capi;
namespace Recording = Kivra::HardwareAPI::Recording;

struct kivra_recording {
    std::mutex mutex;    // recorder and servo
    kivra_servo* servo;  // nullptr once the loop's handle is gone
    std::unique_ptr<Recording::Recorder> recorder;
    Recording::RecorderStatus last;  // what the recorder said when it was ended
};

namespace {

bool compression_of(int32_t code, Recording::Compression& compression) {
    switch (code) {
        case KIVRA_COMPRESSION_NONE: compression = Recording::Compression::none; return true;
        case KIVRA_COMPRESSION_ZSTD: compression = Recording::Compression::zstd; return true;
        case KIVRA_COMPRESSION_LZ4: compression = Recording::Compression::lz4; return true;
        default: return false;
    }
}

std::vector<std::pair<std::string, std::string>> identity_of(const char* text) {
    std::vector<std::pair<std::string, std::string>> identity;
    if (text == nullptr) return identity;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos) identity.emplace_back(line.substr(0, equals), line.substr(equals + 1));
    }
    return identity;
}

// Stops the recorder and keeps its last word; with the recording's mutex held.
void end(kivra_recording& recording) {
    if (!recording.recorder) return;
    recording.recorder->stop();
    recording.last = recording.recorder->status();
    recording.recorder.reset();
}

}  // namespace

void end_recordings(kivra_servo& servo) {
    std::lock_guard<std::mutex> lock(servo.recordings_mutex);
    for (kivra_recording* recording : servo.recordings) {
        std::lock_guard<std::mutex> guard(recording->mutex);
        end(*recording);
        recording->servo = nullptr;
    }
    servo.recordings.clear();
}

extern "C" {

int32_t kivra_compression_available(int32_t compression) {
    Recording::Compression chosen;
    return compression_of(compression, chosen) && Recording::compression_available(chosen) ? 1 : 0;
}

kivra_status kivra_recording_start(kivra_servo* servo, const char* path, int32_t compression, const char* identity,
                                   kivra_recording** recording, int32_t* detail) {
    if (recording != nullptr) *recording = nullptr;
    Recording::RecorderOptions options;
    if (servo == nullptr || path == nullptr || recording == nullptr ||
        !compression_of(compression, options.compression) || !Recording::compression_available(options.compression))
        return with_detail(detail, KIVRA_INVALID_ARGUMENT);
    return guarded(detail, [&]() -> kivra_status {
        try {
            options.identity = identity_of(identity);
            auto started = std::make_unique<kivra_recording>();
            started->servo = servo;
            started->recorder = std::make_unique<Recording::Recorder>(*servo->loop, path, options);
            std::lock_guard<std::mutex> lock(servo->recordings_mutex);
            servo->recordings.insert(started.get());
            *recording = started.release();
            return with_detail(detail, KIVRA_OK);
        } catch (const std::system_error& error) {  // the file could not be opened or written
            return with_detail(detail, KIVRA_NOT_OPEN, error.code().value());
        } catch (const std::runtime_error&) {  // no room for another reader, or a compressor refused
            return with_detail(detail, KIVRA_BUSY);
        }
    });
}

kivra_status kivra_recording_stop(kivra_recording* recording) {
    if (recording == nullptr) return KIVRA_INVALID_ARGUMENT;
    return guarded(nullptr, [&]() -> kivra_status {
        std::lock_guard<std::mutex> lock(recording->mutex);
        end(*recording);
        return KIVRA_OK;
    });
}

void kivra_recording_destroy(kivra_recording* recording) {
    if (recording == nullptr) return;
    kivra_recording_stop(recording);
    kivra_servo* servo = nullptr;
    {
        std::lock_guard<std::mutex> lock(recording->mutex);
        servo = recording->servo;
    }
    if (servo != nullptr) {
        std::lock_guard<std::mutex> lock(servo->recordings_mutex);
        servo->recordings.erase(recording);
    }
    delete recording;
}

kivra_status kivra_recording_get_status(const kivra_recording* recording, kivra_recording_status* status) {
    if (recording == nullptr || status == nullptr) return KIVRA_INVALID_ARGUMENT;
    return guarded(nullptr, [&]() -> kivra_status {
        auto& r = const_cast<kivra_recording&>(*recording);
        std::lock_guard<std::mutex> lock(r.mutex);
        const Recording::RecorderStatus now = r.recorder ? r.recorder->status() : r.last;
        status->ticks_written = now.ticks_written;
        status->ticks_dropped = now.ticks_dropped;
        status->bytes = now.bytes;
        status->recording = now.recording ? 1 : 0;
        status->failed = now.error.empty() ? 0 : 1;
        return KIVRA_OK;
    });
}

kivra_status kivra_recording_get_error(const kivra_recording* recording, char* buffer, size_t size) {
    if (recording == nullptr || buffer == nullptr || size == 0) return KIVRA_INVALID_ARGUMENT;
    return guarded(nullptr, [&]() -> kivra_status {
        auto& r = const_cast<kivra_recording&>(*recording);
        std::lock_guard<std::mutex> lock(r.mutex);
        const std::string error = r.recorder ? r.recorder->status().error : r.last.error;
        const std::size_t length = std::min(error.size(), size - 1);
        std::memcpy(buffer, error.data(), length);
        buffer[length] = '\0';
        return KIVRA_OK;
    });
}

kivra_status kivra_recording_describe_scene(kivra_recording* recording, const char* description) {
    if (recording == nullptr || description == nullptr) return KIVRA_INVALID_ARGUMENT;
    return guarded(nullptr, [&]() -> kivra_status {
        std::lock_guard<std::mutex> lock(recording->mutex);
        if (recording->recorder) recording->recorder->describe_scene(description);
        return KIVRA_OK;
    });
}

}  // extern "C"
