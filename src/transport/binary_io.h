// Whole messages in and out of a pipe stream. The reader and writer add nothing of their own: the stream
// does the framing, and its result codes pass through unchanged.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "transport/stream.h"

namespace sdk {

class IBinaryReader {
public:
    virtual ~IBinaryReader() = default;
    // On success `out` holds the payload; on failure it is unchanged.
    virtual std::uint32_t Read(Bytes& out, int timeoutMs) = 0;
    virtual void Cancel() = 0;
    virtual bool IsBroken() = 0;
    virtual bool CanSeek() { return false; }
};

class IBinaryWriter {
public:
    virtual ~IBinaryWriter() = default;
    virtual std::uint32_t Write(const Bytes& in, int timeoutMs) = 0;
    virtual void Cancel() = 0;
    virtual bool IsBroken() = 0;
    virtual void Flush() = 0;
};

class BinaryReader final : public IBinaryReader {
public:
    explicit BinaryReader(StreamPtr stream) : stream_(std::move(stream)) {}

    std::uint32_t Read(Bytes& out, int timeoutMs) override;
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
    void Cancel() override;
    bool IsBroken() override;
    void Flush() override;

private:
    StreamPtr stream_;
};

// The payload of a text message: the text's bytes and one NUL.
Bytes TextMessage(std::string_view text);

}  // namespace sdk
