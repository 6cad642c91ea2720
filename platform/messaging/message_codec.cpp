// Wire format of the messaging library and the directory of its queues.
#include "messaging/messaging.h"

#include <mutex>
#include <utility>

namespace Messaging {

namespace {

const uint8_t MAGIC_0 = 'A';
const uint8_t MAGIC_1 = 'P';
const size_t MAX_STRING_LENGTH = 0xFFFF;
const size_t MAX_LIST_COUNT = 0xFFFF;

// Appends big-endian fields; remembers when a value did not fit its field.
class Writer {
public:
    explicit Writer(std::vector<uint8_t>& out) : mOut(out), mOk(true) {}

    bool Ok() const { return mOk; }

    void U8(uint8_t value) { mOut.push_back(value); }

    void U16(uint16_t value)
    {
        U8(static_cast<uint8_t>(value >> 8));
        U8(static_cast<uint8_t>(value));
    }

    void U32(uint32_t value)
    {
        U16(static_cast<uint16_t>(value >> 16));
        U16(static_cast<uint16_t>(value));
    }

    void U64(uint64_t value)
    {
        U32(static_cast<uint32_t>(value >> 32));
        U32(static_cast<uint32_t>(value));
    }

    void I32(int32_t value) { U32(static_cast<uint32_t>(value)); }

    void Str(const std::string& text)
    {
        if (text.size() > MAX_STRING_LENGTH) {
            mOk = false;
            return;
        }
        U16(static_cast<uint16_t>(text.size()));
        mOut.insert(mOut.end(), text.begin(), text.end());
    }

    void Party(const CallParams& party)
    {
        Str(party.userName);
        Str(party.displayName);
        Str(party.domain);
        Str(party.password);
        Str(party.ipAddress);
        Str(party.port);
        Str(party.transport);
        Str(party.contact);
        Str(party.callId);
        Str(party.tag);
        I32(party.expires);
    }

private:
    std::vector<uint8_t>& mOut;
    bool mOk;
};

// Reads big-endian fields from a bounded buffer. Every read checks the bytes
// left first; after a failed read all further reads fail too.
class Reader {
public:
    Reader(const uint8_t* data, size_t length) : mpData(data), mLength(length), mPos(0), mOk(true) {}

    bool Ok() const { return mOk; }
    size_t Remaining() const { return mOk ? mLength - mPos : 0; }
    bool AtEnd() const { return mOk && mPos == mLength; }

    uint8_t U8()
    {
        if (!Need(1))
            return 0;
        return mpData[mPos++];
    }

    uint16_t U16()
    {
        uint16_t high = U8();
        return static_cast<uint16_t>((high << 8) | U8());
    }

    uint32_t U32()
    {
        uint32_t high = U16();
        return (high << 16) | U16();
    }

    uint64_t U64()
    {
        uint64_t high = U32();
        return (high << 32) | U32();
    }

    int32_t I32() { return static_cast<int32_t>(U32()); }

    std::string Str()
    {
        size_t length = U16();
        if (!Need(length))
            return std::string();
        std::string text(reinterpret_cast<const char*>(mpData + mPos), length);
        mPos += length;
        return text;
    }

    void Party(CallParams& party)
    {
        party.userName = Str();
        party.displayName = Str();
        party.domain = Str();
        party.password = Str();
        party.ipAddress = Str();
        party.port = Str();
        party.transport = Str();
        party.contact = Str();
        party.callId = Str();
        party.tag = Str();
        party.expires = I32();
    }

private:
    bool Need(size_t count)
    {
        if (!mOk || count > mLength - mPos) {
            mOk = false;
            return false;
        }
        return true;
    }

    const uint8_t* mpData;
    size_t mLength;
    size_t mPos;
    bool mOk;
};

bool EncodePayload(const Message& message, Writer& writer)
{
    switch (message.kind) {
    case MSG_SUBSCRIBE:
        writer.U64(message.id);
        writer.Party(message.subscriber);
        writer.Party(message.target);
        writer.U32(message.watchingStates);
        writer.U32(message.expires);
        return true;
    case MSG_UNSUBSCRIBE:
    case MSG_CONFIRM:
        writer.U64(message.id);
        return true;
    case MSG_NOTIFY:
        writer.U64(message.id);
        writer.Str(message.url);
        return true;
    case MSG_ERROR:
        writer.U64(message.id);
        writer.I32(message.code);
        return true;
    case MSG_PARTY_STATE:
        writer.U8(message.online ? 1 : 0);
        return true;
    case MSG_UPDATE:
        if (message.strings.size() > MAX_LIST_COUNT)
            return false;
        writer.I32(message.code);
        writer.U32(message.number);
        writer.U16(static_cast<uint16_t>(message.strings.size()));
        for (const std::string& text : message.strings)
            writer.Str(text);
        return true;
    }
    return false;
}

bool DecodePayload(Reader& reader, Message& message)
{
    switch (message.kind) {
    case MSG_SUBSCRIBE:
        message.id = reader.U64();
        reader.Party(message.subscriber);
        reader.Party(message.target);
        message.watchingStates = reader.U32();
        message.expires = reader.U32();
        return true;
    case MSG_UNSUBSCRIBE:
    case MSG_CONFIRM:
        message.id = reader.U64();
        return true;
    case MSG_NOTIFY:
        message.id = reader.U64();
        message.url = reader.Str();
        return true;
    case MSG_ERROR:
        message.id = reader.U64();
        message.code = reader.I32();
        return true;
    case MSG_PARTY_STATE: {
        uint8_t online = reader.U8();
        if (online > 1)
            return false;
        message.online = online == 1;
        return true;
    }
    case MSG_UPDATE: {
        message.code = reader.I32();
        message.number = reader.U32();
        size_t count = reader.U16();
        // Each string takes at least its two length bytes: a count the rest
        // of the payload cannot hold is refused before any string is read.
        if (count > reader.Remaining() / 2)
            return false;
        for (size_t i = 0; i < count && reader.Ok(); ++i)
            message.strings.push_back(reader.Str());
        return true;
    }
    }
    return false;
}

std::mutex gDirectoryMutex;
std::string gDirectory = "/var/run/msgq";

}  // namespace

bool EncodeMessage(const Message& message, std::vector<uint8_t>& out)
{
    std::vector<uint8_t> encoded;
    encoded.reserve(64);
    Writer writer(encoded);
    writer.U8(MAGIC_0);
    writer.U8(MAGIC_1);
    writer.U8(WIRE_VERSION);
    writer.U8(message.kind);
    writer.U32(0);  // payload length, filled in below
    if (!EncodePayload(message, writer) || !writer.Ok() || encoded.size() > MAX_MESSAGE_SIZE)
        return false;
    size_t payload = encoded.size() - HEADER_SIZE;
    encoded[4] = static_cast<uint8_t>(payload >> 24);
    encoded[5] = static_cast<uint8_t>(payload >> 16);
    encoded[6] = static_cast<uint8_t>(payload >> 8);
    encoded[7] = static_cast<uint8_t>(payload);
    out.insert(out.end(), encoded.begin(), encoded.end());
    return true;
}

bool DecodeMessage(const uint8_t* data, size_t length, Message& message)
{
    if (data == nullptr || length < HEADER_SIZE || length > MAX_MESSAGE_SIZE)
        return false;
    Reader reader(data, length);
    uint8_t magic0 = reader.U8();
    uint8_t magic1 = reader.U8();
    uint8_t version = reader.U8();
    uint8_t kind = reader.U8();
    uint32_t payload = reader.U32();
    if (magic0 != MAGIC_0 || magic1 != MAGIC_1 || version != WIRE_VERSION ||
        payload != length - HEADER_SIZE)
        return false;
    if (kind < MSG_SUBSCRIBE || kind > MSG_UPDATE)
        return false;

    // Decoded into a fresh message so that the caller's is untouched on failure.
    Message decoded;
    decoded.kind = static_cast<MessageKind>(kind);
    if (!DecodePayload(reader, decoded) || !reader.AtEnd())
        return false;
    message = std::move(decoded);
    return true;
}

void SetQueueDirectory(const std::string& directory)
{
    std::lock_guard<std::mutex> lock(gDirectoryMutex);
    gDirectory = directory;
}

std::string QueueDirectory()
{
    std::lock_guard<std::mutex> lock(gDirectoryMutex);
    return gDirectory;
}

std::string QueuePath(int queue)
{
    return QueueDirectory() + "/queue-" + std::to_string(queue);
}

}  // namespace Messaging
