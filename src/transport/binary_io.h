// Whole messages in and out of a pipe stream. The reader and writer add nothing of their own: the stream
// does the framing, and its result codes pass through unchanged.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "transport/stream.h"

namespace sdk {

// The payload of a text message: the text's bytes and one NUL.
Bytes TextMessage(std::string_view text);

class IBinaryReader {
public:
    virtual ~IBinaryReader() = default;
    // On success `out` holds the payload; on failure it is unchanged.
    virtual std::uint32_t Read(Bytes& out, int timeoutMs) = 0;
    virtual void Cancel() = 0;
    virtual bool IsBroken() = 0;
    virtual bool CanSeek() { return false; }
    // The payload as a string, as Read gives it; readers that can fill a string directly spare a copy.
    virtual std::uint32_t ReadText(std::string& out, int timeoutMs) {
        Bytes payload;
        const std::uint32_t code = Read(payload, timeoutMs);
        if (code == kResultOk) {
            out.assign(payload.begin(), payload.end());
        }
        return code;
    }
};

class IBinaryWriter {
public:
    virtual ~IBinaryWriter() = default;
    virtual std::uint32_t Write(const Bytes& in, int timeoutMs) = 0;
    virtual void Cancel() = 0;
    virtual bool IsBroken() = 0;
    virtual void Flush() = 0;
    // The text message TextMessage(text) makes; writers that can send it unjoined spare a copy.
    virtual std::uint32_t WriteText(std::string_view text, int timeoutMs) {
        return Write(TextMessage(text), timeoutMs);
    }
};

class BinaryReader final : public IBinaryReader {
public:
    explicit BinaryReader(StreamPtr stream) : stream_(std::move(stream)) {}

    std::uint32_t Read(Bytes& out, int timeoutMs) override;
    std::uint32_t ReadText(std::string& out, int timeoutMs) override;
    void Cancel() override;
    bool IsBroken() override;
    bool CanSeek() override;

private:
    StreamPtr stream_;
};

class BinaryWriter final : public IBinaryWriter {
public:
    explicit BinaryWriter(StreamPtr stream) : stream_(std::move(stream)) {}

    std::uint32_t Write(const Bytes& in, int timeoutMs) override;
    std::uint32_t WriteText(std::string_view text, int timeoutMs) override;
    void Cancel() override;
    bool IsBroken() override;
    void Flush() override;

private:
    StreamPtr stream_;
};

}  // namespace sdk
