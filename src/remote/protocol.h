// The messages between harrow and harrowd: a 6-byte header and a payload, on a TCP stream for
// requests and in UDP datagrams for discovery. Every record here is read and written field by
// field at its offset, so these functions are the whole of what either side trusts about bytes
// that came from the network; they do no I/O, so tests and fuzz targets feed them directly.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.h"

namespace harrow::remote {

inline constexpr std::uint16_t SERVER_PORT = 2000;
inline constexpr std::uint16_t DISCOVERY_PORT = 2001;

enum MessageCode : std::uint8_t {
    MSG_PING = 1,
    MSG_LOGIN_OK = 2,
    MSG_OK = 3,
    MSG_FAIL = 4,
    MSG_DATA = 5,
    MSG_DRIVE_OPENED = 6,
    MSG_LOGIN = 7,
    MSG_LOGOUT = 8,
    MSG_SHUTDOWN = 9,
    MSG_CLOSED = 10,
    MSG_OPEN_DRIVE = 11,
    MSG_CLOSE_DRIVE = 12,
    MSG_READ_SECTORS = 13,
    MSG_DRIVE_TYPE = 14,
    MSG_VOLUME_INFO = 15,
};

enum class Protocol : int { Tcp = 1, Ipx = 2 };

// Buffers the two sides read into. Anything that would not fit is a failed receive: the sender
// is not speaking this protocol, and reading on would only size memory by its word.
inline constexpr std::size_t kRequestBufferBytes = 2048;     // server, per request, header included
inline constexpr std::size_t kQueryReplyBufferBytes = 1024;  // client, every reply but sector data
// The largest sector reply the server builds. The client asks for 10240 bytes at most (one
// sector, when a sector is larger); a count beyond this is refused, not allocated.
inline constexpr std::uint32_t kMaxReadReplyBytes = 1u << 20;
inline constexpr std::uint32_t kTcpReadRequestBytes = 10240;
inline constexpr std::uint32_t kIpxReadRequestBytes = 4096;

// Sectors in one MSG_READ_SECTORS: as many as fit the protocol's request size, at least one.
std::uint32_t sectorsPerRequest(std::uint32_t bytesPerSector, Protocol protocol);

//  0        1      2                6
//  +--------+------+----------------+---------------
//  | marker | code | payload length | payload ...
//  |   1    |      |   u32 LE       |
//  +--------+------+----------------+---------------
struct MessageHeader {
    static constexpr std::size_t kSize = 6;
    enum Offset : std::size_t { kMarker = 0, kCode = 1, kLength = 2 };
    static constexpr std::uint8_t kMarkerValue = 1;

    std::uint8_t code = 0;
    std::uint32_t length = 0;

    std::array<std::uint8_t, kSize> serialize() const;
    // Nothing when fewer than 6 bytes are given or the marker is not 1.
    static std::optional<MessageHeader> parse(Bytes bytes);
};

// A whole message: header (marker 1) and payload.
std::vector<std::uint8_t> encodeMessage(std::uint8_t code, Bytes payload = {});

// Fixed-width text fields: NUL-terminated single-byte text, whatever follows the terminator
// meaningless. A text longer than the field keeps its first width - 1 bytes.
std::string loadTextField(Bytes record, std::size_t offset, std::size_t width);
void storeTextField(MutableBytes record, std::size_t offset, std::size_t width, std::string_view text);

// What a server says about itself: in MSG_LOGIN_OK and in discovery answers.
struct ServerEntry {
    static constexpr std::size_t kSize = 46;
    enum Offset : std::size_t { kAddress = 0, kComputerName = 30 };
    static constexpr std::size_t kAddressBytes = 30, kComputerNameBytes = 16;

    std::string address;       // dotted IPv4 text
    std::string computerName;

    std::array<std::uint8_t, kSize> serialize() const;
    // A short record reads as empty text past its end.
    static ServerEntry parse(Bytes record);
};

// The MSG_LOGIN payload.
struct LoginRequest {
    static constexpr std::size_t kSize = 66;
    enum Offset : std::size_t { kPassword = 0, kClientAddress = 20, kClientName = 50 };
    static constexpr std::size_t kPasswordBytes = 20, kClientAddressBytes = 30, kClientNameBytes = 16;
    // The longest password the field carries with its terminator.
    static constexpr std::size_t kMaxPassword = kPasswordBytes - 1;

    std::string password;
    std::string clientAddress;
    std::string clientName;

    std::array<std::uint8_t, kSize> serialize() const;
    // Nothing unless the payload is exactly 66 bytes.
    static std::optional<LoginRequest> parse(Bytes payload);
};

// Whether the password field of a login payload holds exactly `password`. Takes the same time
// whatever the field holds, so the reply time tells nothing of how much of a guess was right.
bool passwordMatches(Bytes loginPayload, std::string_view password);

// The MSG_READ_SECTORS payload. The wire carries 32-bit sector numbers.
struct ReadSectorsRequest {
    static constexpr std::size_t kSize = 8;
    enum Offset : std::size_t { kFirst = 0, kCount = 4 };

    std::uint32_t first = 0;
    std::uint32_t count = 0;

    std::array<std::uint8_t, kSize> serialize() const;
    // Nothing unless the payload is exactly 8 bytes.
    static std::optional<ReadSectorsRequest> parse(Bytes payload);
};

// The payload of MSG_OPEN_DRIVE, MSG_DRIVE_TYPE and MSG_VOLUME_INFO: a root path such as "C:\"
// with its terminator.
std::vector<std::uint8_t> encodeRootPath(std::string_view path);
// The text up to the first NUL (or the whole payload, when it has none).
std::string parseRootPath(Bytes payload);

// The MSG_DATA payload of MSG_VOLUME_INFO.
struct VolumeInformation {
    static constexpr std::size_t kSize = 524;
    enum Offset : std::size_t { kName = 0, kSerial = 256, kMaxComponent = 260, kFlags = 264, kFsName = 268 };
    static constexpr std::size_t kNameBytes = 256, kFsNameBytes = 256;

    std::string name;
    std::uint32_t serial = 0;
    std::uint32_t maxComponentLength = 0;
    std::uint32_t flags = 0;
    std::string fsName;

    std::array<std::uint8_t, kSize> serialize() const;
    // Nothing unless the payload is exactly 524 bytes.
    static std::optional<VolumeInformation> parse(Bytes payload);
};

// The MSG_DATA payload of MSG_DRIVE_TYPE: the drive type as a u16.
inline constexpr std::size_t kDriveTypeBytes = 2;

// Discovery: the 6-byte request every server answers, and its 52-byte answer.
inline constexpr std::size_t kDiscoveryRequestBytes = MessageHeader::kSize;
inline constexpr std::size_t kDiscoveryAnswerBytes = MessageHeader::kSize + ServerEntry::kSize;
std::array<std::uint8_t, kDiscoveryRequestBytes> discoveryRequest();
std::array<std::uint8_t, kDiscoveryAnswerBytes> discoveryAnswer(const ServerEntry& entry, std::uint8_t code = MSG_OK);

// The servers the client has heard of, in order of arrival.
class ServerList {
public:
    static constexpr std::size_t kMaxServers = 255;

    // Takes one datagram: exactly 52 bytes with marker 1, code MSG_OK adds its server unless one
    // of the same address is listed or the list is full, code MSG_SHUTDOWN removes it. True
    // when the list changed.
    bool take(Bytes datagram);
    const std::vector<ServerEntry>& entries() const { return entries_; }
    void clear() { entries_.clear(); }

private:
    std::vector<ServerEntry> entries_;
};

// IPX addresses, as the client writes them in its login and reads them from the server field:
// "NNNNNNNN:HHHHHHHHHHHH", network and node in upper-case hexadecimal.
struct IpxAddress {
    std::array<std::uint8_t, 4> network{};
    std::array<std::uint8_t, 6> node{};
};
std::string formatIpxAddress(const IpxAddress& address);
// An address whose first 8 characters are not hexadecimal digits, whose 9th is not a colon, or
// whose next 3 are not hexadecimal digits gives network and node zero; past that, any other
// character (and any missing one) counts as 0.
IpxAddress parseIpxAddress(std::string_view text);
// The socket-number field of an IPX address for `port`: stored low byte first, so that the
// network, which reads it high byte first, sees the byte-swapped value.
std::array<std::uint8_t, 2> ipxSocketField(std::uint16_t port);

}  // namespace harrow::remote
