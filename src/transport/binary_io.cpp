#include "transport/binary_io.h"

namespace sdk {

std::uint32_t BinaryReader::Read(Bytes& out, int timeoutMs) {
    if (!stream_ || !stream_->CanRead(timeoutMs)) {
        return kResultNotReady;
    }
    return stream_->Read(out, timeoutMs);
}

std::uint32_t BinaryReader::ReadText(std::string& out, int timeoutMs) {
    if (!stream_ || !stream_->CanRead(timeoutMs)) {
        return kResultNotReady;
    }
    return stream_->ReadText(out, timeoutMs);
}

void BinaryReader::Cancel() {
    if (stream_) {
        stream_->Cancel();
    }
}

bool BinaryReader::IsBroken() { return !stream_ || stream_->IsBroken(); }

bool BinaryReader::CanSeek() { return stream_ && stream_->CanSeek(); }

std::uint32_t BinaryWriter::Write(const Bytes& in, int timeoutMs) {
    if (!stream_ || !stream_->CanWrite(timeoutMs)) {
        return kResultNotReady;
    }
    return stream_->Write(in, timeoutMs);
}

std::uint32_t BinaryWriter::WriteText(std::string_view text, int timeoutMs) {
    if (!stream_ || !stream_->CanWrite(timeoutMs)) {
        return kResultNotReady;
    }
    return stream_->WriteText(text, timeoutMs);
}

void BinaryWriter::Cancel() {
    if (stream_) {
        stream_->Cancel();
    }
}

bool BinaryWriter::IsBroken() { return !stream_ || stream_->IsBroken(); }

void BinaryWriter::Flush() {
    if (stream_) {
        stream_->Flush();
    }
}

Bytes TextMessage(std::string_view text) {
    Bytes payload(text.begin(), text.end());
    payload.push_back(0);
    return payload;
}

}  // namespace sdk
