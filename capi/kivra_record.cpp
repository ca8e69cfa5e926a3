// Recordings behind the C interface: a Recorder of the core per handle, tied
// to its loop's handle so that a loop freed first ends its recordings.

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <system_error>

#include "KivraHardwareAPI/Recording.h"
#include "KivraHardwareAPI/RecordingReader.h"
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
        status->handle_frames = now.handle_frames;
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

kivra_status kivra_recording_attach_handle(kivra_recording* recording, kivra_handle* handle) {
    if (recording == nullptr || handle == nullptr) return KIVRA_INVALID_ARGUMENT;
    return guarded(nullptr, [&]() -> kivra_status {
        std::shared_ptr<HandleCore> core = handle->core;
        std::lock_guard<std::mutex> lock(recording->mutex);
        if (!recording->recorder || !core->open.load()) return KIVRA_CLOSED;
        bool free = false;
        if (!core->read_elsewhere.compare_exchange_strong(free, true)) return KIVRA_BUSY;
        Kivra::HardwareAPI::Devices::HandleFrameSource source;
        source.read = [core](Kivra::HardwareAPI::Devices::ManiloStatus& status, double timeout) {
            return read_status_frame(*core, timeout, status, nullptr);
        };
        source.release = [core] { core->read_elsewhere.store(false); };
        if (recording->recorder->attach_handle(std::move(source))) return KIVRA_OK;
        core->read_elsewhere.store(false);
        return recording->recorder->status().recording ? KIVRA_BUSY : KIVRA_CLOSED;
    });
}

}  // extern "C"

struct kivra_recording_reader {
    std::unique_ptr<Recording::RecordingReader> reader;
    Recording::RecordedTick tick;
    std::string problem;
};

namespace {

void copy_text(const std::string& text, char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return;
    const std::size_t length = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
}

// What a reader's and a repair's failures come to; problem says why.
template <class Body>
kivra_status reading(int32_t* detail, std::string& problem, Body&& body) {
    return guarded(detail, [&]() -> kivra_status {
        try {
            problem.clear();
            return body();
        } catch (const std::system_error& error) {
            problem = error.what();
            return with_detail(detail, KIVRA_NOT_OPEN, error.code().value());
        } catch (const Recording::FormatError& error) {
            problem = error.what();
            return with_detail(detail, KIVRA_INVALID_ARGUMENT);
        }
    });
}

}  // namespace

extern "C" {

kivra_status kivra_recording_open(const char* path, kivra_recording_reader** reader, int32_t* detail, char* problem,
                                  size_t size) {
    if (reader != nullptr) *reader = nullptr;
    if (path == nullptr || reader == nullptr) return with_detail(detail, KIVRA_INVALID_ARGUMENT);
    std::string why;
    const kivra_status status = reading(detail, why, [&]() -> kivra_status {
        auto opened = std::make_unique<kivra_recording_reader>();
        opened->reader = std::make_unique<Recording::RecordingReader>(path);
        *reader = opened.release();
        return with_detail(detail, KIVRA_OK);
    });
    copy_text(why, problem, size);
    return status;
}

kivra_status kivra_recording_next_tick(kivra_recording_reader* reader, kivra_tick* tick, uint64_t* stamp,
                                       uint32_t* changes, int32_t* more) {
    if (reader == nullptr || tick == nullptr || stamp == nullptr || changes == nullptr || more == nullptr)
        return KIVRA_INVALID_ARGUMENT;
    return reading(nullptr, reader->problem, [&]() -> kivra_status {
        *more = reader->reader->next(reader->tick) ? 1 : 0;
        if (*more == 0) reader->tick = {};
        copy_tick(*tick, reader->tick.state);
        *stamp = reader->tick.stamp;
        *changes = uint32_t(reader->tick.changes.size());
        return KIVRA_OK;
    });
}

kivra_status kivra_recording_get_change(const kivra_recording_reader* reader, uint32_t index, char* buffer, size_t size,
                                        size_t* length) {
    if (reader == nullptr || buffer == nullptr || size == 0 || length == nullptr ||
        index >= reader->tick.changes.size())
        return KIVRA_INVALID_ARGUMENT;
    const std::string& change = reader->tick.changes[index];
    copy_text(change, buffer, size);
    *length = change.size();
    return KIVRA_OK;
}

kivra_status kivra_recording_get_problem(const kivra_recording_reader* reader, char* buffer, size_t size) {
    if (reader == nullptr || buffer == nullptr || size == 0) return KIVRA_INVALID_ARGUMENT;
    copy_text(reader->problem, buffer, size);
    return KIVRA_OK;
}

kivra_status kivra_recording_get_whole(const kivra_recording_reader* reader, int32_t* whole) {
    if (reader == nullptr || whole == nullptr) return KIVRA_INVALID_ARGUMENT;
    *whole = reader->reader->whole() ? 1 : 0;
    return KIVRA_OK;
}

void kivra_recording_close(kivra_recording_reader* reader) { delete reader; }

kivra_status kivra_recording_repair(const char* path, uint64_t* ticks, int32_t* repaired, int32_t* detail,
                                    char* problem, size_t size) {
    if (path == nullptr || ticks == nullptr || repaired == nullptr) return with_detail(detail, KIVRA_INVALID_ARGUMENT);
    std::string why;
    const kivra_status status = reading(detail, why, [&]() -> kivra_status {
        const Recording::RepairResult result = Recording::repair(path);
        *ticks = result.ticks;
        *repaired = result.was_whole ? 0 : 1;
        return with_detail(detail, KIVRA_OK);
    });
    copy_text(why, problem, size);
    return status;
}

}  // extern "C"
