#include "remote/protocol.h"

#include <algorithm>

namespace harrow::remote {
namespace {

bool isHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;
}

// The byte of hexadecimal digits `at` and `at + 1` of `text`; characters past its end count as 0.
std::uint8_t hexByte(std::string_view text, std::size_t at) {
    auto digit = [&](std::size_t i) { return i < text.size() ? hexValue(text[i]) : 0; };
    return static_cast<std::uint8_t>(digit(at) << 4 | digit(at + 1));
}

}  // namespace

std::uint32_t sectorsPerRequest(std::uint32_t bytesPerSector, Protocol protocol) {
    const std::uint32_t bytes = protocol == Protocol::Ipx ? kIpxReadRequestBytes : kTcpReadRequestBytes;
    if (bytesPerSector == 0) return 1;
    return std::max<std::uint32_t>(1, bytes / bytesPerSector);
}

std::array<std::uint8_t, MessageHeader::kSize> MessageHeader::serialize() const {
    std::array<std::uint8_t, kSize> out{};
    out[kMarker] = kMarkerValue;
    out[kCode] = code;
    storeLe(MutableBytes(out), kLength, length);
    return out;
}

std::optional<MessageHeader> MessageHeader::parse(Bytes bytes) {
    if (bytes.size() < kSize || bytes[kMarker] != kMarkerValue) return std::nullopt;
    return MessageHeader{bytes[kCode], le32(bytes, kLength)};
}

std::vector<std::uint8_t> encodeMessage(std::uint8_t code, Bytes payload) {
    std::vector<std::uint8_t> out(MessageHeader::kSize + payload.size());
    out[MessageHeader::kMarker] = MessageHeader::kMarkerValue;
    out[MessageHeader::kCode] = code;
    storeLe(MutableBytes(out), MessageHeader::kLength, static_cast<std::uint32_t>(payload.size()));
    std::copy(payload.begin(), payload.end(), out.begin() + MessageHeader::kSize);
    return out;
}

std::string loadTextField(Bytes record, std::size_t offset, std::size_t width) {
    std::string s;
    for (std::size_t i = 0; i < width && fits(record.size(), offset, i + 1) && record[offset + i] != 0; ++i)
        s += static_cast<char>(record[offset + i]);
    return s;
}

void storeTextField(MutableBytes record, std::size_t offset, std::size_t width, std::string_view text) {
    if (width == 0 || !fits(record.size(), offset, width)) return;
    const std::size_t n = std::min(text.size(), width - 1);
    std::copy_n(text.begin(), n, record.begin() + static_cast<std::ptrdiff_t>(offset));
    std::fill_n(record.begin() + static_cast<std::ptrdiff_t>(offset + n), width - n, 0);
}

std::array<std::uint8_t, ServerEntry::kSize> ServerEntry::serialize() const {
    std::array<std::uint8_t, kSize> out{};
    storeTextField(out, kAddress, kAddressBytes, address);
    storeTextField(out, kComputerName, kComputerNameBytes, computerName);
    return out;
}

ServerEntry ServerEntry::parse(Bytes record) {
    return {loadTextField(record, kAddress, kAddressBytes), loadTextField(record, kComputerName, kComputerNameBytes)};
}

std::array<std::uint8_t, LoginRequest::kSize> LoginRequest::serialize() const {
    std::array<std::uint8_t, kSize> out{};
    storeTextField(out, kPassword, kPasswordBytes, password);
    storeTextField(out, kClientAddress, kClientAddressBytes, clientAddress);
    storeTextField(out, kClientName, kClientNameBytes, clientName);
    return out;
}

std::optional<LoginRequest> LoginRequest::parse(Bytes payload) {
    if (payload.size() != kSize) return std::nullopt;
    return LoginRequest{loadTextField(payload, kPassword, kPasswordBytes),
                        loadTextField(payload, kClientAddress, kClientAddressBytes),
                        loadTextField(payload, kClientName, kClientNameBytes)};
}

bool passwordMatches(Bytes loginPayload, std::string_view password) {
    if (loginPayload.size() < LoginRequest::kPasswordBytes || password.size() > LoginRequest::kMaxPassword) return false;
    // Both texts padded with NULs to the field's width: equal fields, equal texts.
    std::uint8_t difference = 0;
    bool ended = false;
    for (std::size_t i = 0; i < LoginRequest::kPasswordBytes; ++i) {
        const std::uint8_t sent = ended ? 0 : loginPayload[LoginRequest::kPassword + i];
        ended = ended || sent == 0;
        const std::uint8_t want = i < password.size() ? static_cast<std::uint8_t>(password[i]) : 0;
        difference |= static_cast<std::uint8_t>(sent ^ want);
    }
    // A field without a terminator holds no text the client could have typed.
    return difference == 0 && ended;
}

std::array<std::uint8_t, ReadSectorsRequest::kSize> ReadSectorsRequest::serialize() const {
    std::array<std::uint8_t, kSize> out{};
    storeLe(MutableBytes(out), kFirst, first);
    storeLe(MutableBytes(out), kCount, count);
    return out;
}

std::optional<ReadSectorsRequest> ReadSectorsRequest::parse(Bytes payload) {
    if (payload.size() != kSize) return std::nullopt;
    return ReadSectorsRequest{le32(payload, kFirst), le32(payload, kCount)};
}

std::vector<std::uint8_t> encodeRootPath(std::string_view path) {
    std::vector<std::uint8_t> out(path.begin(), path.end());
    out.push_back(0);
    return out;
}

std::string parseRootPath(Bytes payload) {
    auto end = std::find(payload.begin(), payload.end(), 0);
    return std::string(payload.begin(), end);
}

std::array<std::uint8_t, VolumeInformation::kSize> VolumeInformation::serialize() const {
    std::array<std::uint8_t, kSize> out{};
    storeTextField(out, kName, kNameBytes, name);
    storeLe(MutableBytes(out), kSerial, serial);
    storeLe(MutableBytes(out), kMaxComponent, maxComponentLength);
    storeLe(MutableBytes(out), kFlags, flags);
    storeTextField(out, kFsName, kFsNameBytes, fsName);
    return out;
}

std::optional<VolumeInformation> VolumeInformation::parse(Bytes payload) {
    if (payload.size() != kSize) return std::nullopt;
    return VolumeInformation{loadTextField(payload, kName, kNameBytes), le32(payload, kSerial),
                             le32(payload, kMaxComponent), le32(payload, kFlags),
                             loadTextField(payload, kFsName, kFsNameBytes)};
}

std::array<std::uint8_t, kDiscoveryRequestBytes> discoveryRequest() { return MessageHeader{MSG_PING, 0}.serialize(); }

std::array<std::uint8_t, kDiscoveryAnswerBytes> discoveryAnswer(const ServerEntry& entry, std::uint8_t code) {
    std::array<std::uint8_t, kDiscoveryAnswerBytes> out{};
    const auto header = MessageHeader{code, ServerEntry::kSize}.serialize();
    const auto record = entry.serialize();
    std::copy(header.begin(), header.end(), out.begin());
    std::copy(record.begin(), record.end(), out.begin() + MessageHeader::kSize);
    return out;
}

bool ServerList::take(Bytes datagram) {
    if (datagram.size() != kDiscoveryAnswerBytes) return false;
    const auto header = MessageHeader::parse(datagram);
    if (!header) return false;
    ServerEntry entry = ServerEntry::parse(datagram.subspan(MessageHeader::kSize));
    auto same = std::find_if(entries_.begin(), entries_.end(), [&](const ServerEntry& e) { return e.address == entry.address; });
    if (header->code == MSG_OK) {
        if (same != entries_.end() || entries_.size() >= kMaxServers) return false;
        entries_.push_back(std::move(entry));
        return true;
    }
    if (header->code == MSG_SHUTDOWN && same != entries_.end()) {
        entries_.erase(same);
        return true;
    }
    return false;
}

std::string formatIpxAddress(const IpxAddress& a) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string s;
    auto put = [&](std::uint8_t b) {
        s += kDigits[b >> 4];
        s += kDigits[b & 15];
    };
    for (std::uint8_t b : a.network) put(b);
    s += ':';
    for (std::uint8_t b : a.node) put(b);
    return s;
}

IpxAddress parseIpxAddress(std::string_view text) {
    IpxAddress a;
    if (text.size() < 12 || text[8] != ':') return a;
    for (std::size_t i = 0; i < 8; ++i)
        if (!isHex(text[i])) return a;
    for (std::size_t i = 9; i < 12; ++i)
        if (!isHex(text[i])) return a;
    for (std::size_t i = 0; i < a.network.size(); ++i) a.network[i] = hexByte(text, 2 * i);
    for (std::size_t i = 0; i < a.node.size(); ++i) a.node[i] = hexByte(text, 9 + 2 * i);
    return a;
}

std::array<std::uint8_t, 2> ipxSocketField(std::uint16_t port) {
    return {static_cast<std::uint8_t>(port & 0xFF), static_cast<std::uint8_t>(port >> 8)};
}

}  // namespace harrow::remote
