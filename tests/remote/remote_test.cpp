// The remote disk protocol byte for byte, and a remote drive read through a server running in
// this process over loopback.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "common/strings.h"
#include "remote/discovery.h"
#include "remote/protocol.h"
#include "remote/remote_source.h"
#include "remote/server.h"
#include "remote/stream_io.h"
#include "support/sample_volume.h"

namespace harrow::remote {
namespace {

using Bytes8 = std::vector<std::uint8_t>;

template <std::size_t N>
Bytes8 vec(const std::array<std::uint8_t, N>& a) {
    return Bytes8(a.begin(), a.end());
}

TEST(Protocol, RecordsSitAtTheirOffsets) {
    EXPECT_EQ(encodeMessage(MSG_READ_SECTORS, ReadSectorsRequest{0x04030201, 20}.serialize()),
              (Bytes8{1, 13, 8, 0, 0, 0, 1, 2, 3, 4, 20, 0, 0, 0}));
    EXPECT_EQ(vec(MessageHeader{MSG_DATA, 0x0A0B0C0D}.serialize()), (Bytes8{1, 5, 0x0D, 0x0C, 0x0B, 0x0A}));
    EXPECT_EQ(encodeRootPath("C:\\"), (Bytes8{'C', ':', '\\', 0}));

    const auto login = LoginRequest{"pw", "10.0.0.7", "HOST"}.serialize();
    Bytes8 want(66, 0);
    want[0] = 'p', want[1] = 'w';
    std::copy_n("10.0.0.7", 8, want.begin() + 20);
    std::copy_n("HOST", 4, want.begin() + 50);
    EXPECT_EQ(vec(login), want);

    // A text as long as its field keeps its terminator.
    const auto entry = ServerEntry{std::string(40, 'a'), "SERVER"}.serialize();
    EXPECT_EQ(entry[28], 'a');
    EXPECT_EQ(entry[29], 0);
    EXPECT_EQ(entry[30], 'S');
    EXPECT_EQ(ServerEntry::parse(entry).address, std::string(29, 'a'));

    const auto volume = VolumeInformation{"DATA", 0x11223344, 255, 6, "NTFS"}.serialize();
    EXPECT_EQ(volume[0], 'D');
    EXPECT_EQ(le32(volume, 256), 0x11223344u);
    EXPECT_EQ(le32(volume, 260), 255u);
    EXPECT_EQ(le32(volume, 264), 6u);
    EXPECT_EQ(volume[268], 'N');
    EXPECT_EQ(VolumeInformation::parse(volume)->fsName, "NTFS");
}

TEST(Protocol, RefusesWhatDoesNotFitItsRecord) {
    EXPECT_FALSE(MessageHeader::parse(Bytes8{0, 3, 0, 0, 0, 0}));  // marker not 1
    EXPECT_FALSE(MessageHeader::parse(Bytes8{1, 3, 0, 0, 0}));     // short
    EXPECT_TRUE(MessageHeader::parse(Bytes8{1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));  // framing only
    EXPECT_FALSE(LoginRequest::parse(Bytes8(65)));
    EXPECT_FALSE(LoginRequest::parse(Bytes8(67)));
    EXPECT_FALSE(ReadSectorsRequest::parse(Bytes8(7)));
    EXPECT_FALSE(ReadSectorsRequest::parse(Bytes8(9)));
    EXPECT_FALSE(VolumeInformation::parse(Bytes8(523)));
    EXPECT_EQ(parseRootPath(Bytes8{'D', ':', '\\'}), "D:\\");  // no terminator: the payload bounds it
    EXPECT_EQ(parseRootPath(Bytes8{'D', 0, 'X'}), "D");

    struct Case {
        const char* sent;
        std::size_t bytes;  // of the field that are text
        const char* password;
        bool match;
    } cases[] = {
        {"secret", 6, "secret", true},
        {"Secret", 6, "secret", false},  // exact case
        {"secre", 5, "secret", false},   // a prefix
        {"secrets", 7, "secret", false},
        {"", 0, "", true},
        {"abcdefghijklmnopqrst", 20, "abcdefghijklmnopqrs", false},  // no terminator in the field
    };
    for (const Case& c : cases) {
        auto payload = LoginRequest{}.serialize();
        std::copy_n(c.sent, c.bytes, payload.begin());
        payload[30] = 'x';  // bytes after the field do not count
        EXPECT_EQ(passwordMatches(payload, c.password), c.match) << c.sent << " / " << c.password;
    }
}

// Where discovery asks, and the stream port of a server taken from the port its answer came
// from: the connect field then reaches a server that does not listen on the usual port.
TEST(Discovery, TargetsAndTheStreamPortOfEachServer) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> targets = {
        {"127.0.0.1:2101", {"127.0.0.1:2101"}},
        {"10.1.2.255,127.0.0.1", {"10.1.2.255:2001", "127.0.0.1:2001"}},
        {"host.example:2001,127.0.0.1:0,127.0.0.1:70000,,127.0.0.2:x", {}},
        {"", {}},
    };
    for (const auto& [text, want] : targets) {
        std::vector<std::string> got;
        for (const DiscoveryTarget& t : parseDiscoveryTargets(text)) got.push_back(t.address + ":" + std::to_string(t.port));
        EXPECT_EQ(got, want) << text;
    }

    Discovery d;
    auto answer = [](const std::string& address, std::uint8_t code = MSG_OK) { return vec(discoveryAnswer({address, "PC"}, code)); };
    EXPECT_TRUE(d.take(answer("127.0.0.1"), 2101));
    EXPECT_TRUE(d.take(answer("127.0.0.2"), DISCOVERY_PORT));
    EXPECT_FALSE(d.take(answer("127.0.0.1"), 4001));  // listed already: its port stays
    EXPECT_EQ(d.connectText(0), "127.0.0.1:2100");
    EXPECT_EQ(d.connectText(1), "127.0.0.2");
    EXPECT_TRUE(d.take(answer("127.0.0.1", MSG_SHUTDOWN), 2101));
    EXPECT_EQ(d.connectText(0), "127.0.0.2");
    EXPECT_EQ(d.connectText(1), "");
}

TEST(Protocol, RequestSizesDiscoveryAndIpxAddresses) {
    EXPECT_EQ(sectorsPerRequest(512, Protocol::Tcp), 20u);
    EXPECT_EQ(sectorsPerRequest(512, Protocol::Ipx), 8u);
    EXPECT_EQ(sectorsPerRequest(4096, Protocol::Tcp), 2u);
    EXPECT_EQ(sectorsPerRequest(16384, Protocol::Tcp), 1u);

    EXPECT_EQ(vec(discoveryRequest()), (Bytes8{1, 1, 0, 0, 0, 0}));
    ServerList list;
    auto answer = [](const std::string& address, std::uint8_t code = MSG_OK) { return vec(discoveryAnswer({address, "PC"}, code)); };
    EXPECT_TRUE(list.take(answer("10.0.0.1")));
    EXPECT_FALSE(list.take(answer("10.0.0.1")));  // already listed
    Bytes8 a = answer("10.0.0.2");
    EXPECT_FALSE(list.take(Bytes(a).first(51)));
    a.push_back(0);
    EXPECT_FALSE(list.take(a));
    a = answer("10.0.0.2");
    a[0] = 0;
    EXPECT_FALSE(list.take(a));
    EXPECT_FALSE(list.take(answer("10.0.0.2", MSG_FAIL)));
    for (int i = 2; i <= 300; ++i) list.take(answer("10.0.1." + std::to_string(i)));
    EXPECT_EQ(list.entries().size(), ServerList::kMaxServers);
    EXPECT_TRUE(list.take(answer("10.0.0.1", MSG_SHUTDOWN)));
    EXPECT_EQ(list.entries().front().address, "10.0.1.2");

    EXPECT_EQ(formatIpxAddress(parseIpxAddress("0000ab12:00a0c9123456")), "0000AB12:00A0C9123456");
    EXPECT_EQ(formatIpxAddress(parseIpxAddress("0000AB12:00Ax")), "0000AB12:00A000000000");  // the rest counts as 0
    EXPECT_EQ(formatIpxAddress(parseIpxAddress("0000AB1:200A0C9123456")), "00000000:000000000000");
    EXPECT_EQ(formatIpxAddress(parseIpxAddress("0000AB12:0x0C9123456")), "00000000:000000000000");
    EXPECT_EQ(vec(ipxSocketField(2000)), (Bytes8{0xD0, 0x07}));
}

// A volume in memory with one sector that answers only when the test lets it, as a bad sector
// the drive retries for long. A read held for half a minute goes on, so that a server that waits
// on it fails the test rather than hanging it.
class SlowSectorSources : public SourceFactory {
public:
    explicit SlowSectorSources(std::vector<std::uint8_t> bytes) : memory_(std::move(bytes)) {}
    OpenedSource open(const std::string& path, DriveKind kind) override {
        OpenedSource opened = memory_.open(path, kind);
        if (opened.source) opened.source = std::make_unique<Slow>(*this, std::move(opened.source));
        return opened;
    }
    // Waits until `n` reads are held at the slow sector; false if they never are.
    bool awaitHeld(int n) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return held_ == n; });
    }
    int held() {
        std::lock_guard lock(mutex_);
        return held_;
    }
    // Lets the reads held now go on; later ones are held again.
    void release() {
        std::lock_guard lock(mutex_);
        ++releases_;
        changed_.notify_all();
    }
    std::uint64_t slowSector = ~0ull;
    // The sectors read, as [first, end) in the order read; waits until `sector` is among them.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> reads() {
        std::lock_guard lock(mutex_);
        return reads_;
    }
    bool awaitRead(std::uint64_t sector) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30), [&] {
            return std::ranges::any_of(reads_, [&](const auto& r) { return r.first <= sector && sector < r.second; });
        });
    }

private:
    struct Slow : SectorSource {
        Slow(SlowSectorSources& owner, std::unique_ptr<SectorSource> inner) : owner(owner), inner(std::move(inner)) {}
        ReadResult read(std::uint64_t first, std::uint32_t size, MutableBytes out) override {
            if (first <= owner.slowSector && owner.slowSector < first + out.size() / size) {
                std::unique_lock lock(owner.mutex_);
                const int releases = owner.releases_;
                ++owner.held_;
                owner.changed_.notify_all();
                owner.changed_.wait_for(lock, std::chrono::seconds(30), [&] { return owner.releases_ != releases; });
                --owner.held_;
                owner.changed_.notify_all();
            }
            const ReadResult r = inner->read(first, size, out);
            std::lock_guard lock(owner.mutex_);
            owner.reads_.emplace_back(first, first + out.size() / size);
            owner.changed_.notify_all();
            return r;
        }
        std::uint32_t deviceSectorSize() const override { return inner->deviceSectorSize(); }
        std::optional<std::uint64_t> sizeBytes() const override { return inner->sizeBytes(); }
        SlowSectorSources& owner;
        std::unique_ptr<SectorSource> inner;
    };
    MemorySources memory_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int held_ = 0;
    int releases_ = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> reads_;
};

// A server on 127.0.0.1 serving the sample FAT volume as F:, on a thread of its own.
class Observer : public ServerObserver {
public:
    void log(int id, const std::string& text) override {
        std::lock_guard lock(mutex);
        ids.push_back(id);
        texts.push_back(text);
    }
    // Lines of message `id` whose text holds `part`.
    long count(int id, const std::string& part = "") {
        std::lock_guard lock(mutex);
        long n = 0;
        for (std::size_t i = 0; i < ids.size(); ++i) n += ids[i] == id && texts[i].find(part) != std::string::npos;
        return n;
    }
    void activityChanged(int value) override { activity = value; }
    bool logged(int id) {
        std::lock_guard lock(mutex);
        return std::find(ids.begin(), ids.end(), id) != ids.end();
    }
    std::mutex mutex;
    std::vector<int> ids;
    std::vector<std::string> texts;
    std::atomic<int> activity{0};
};

class ServedVolume {
public:
    explicit ServedVolume(std::vector<std::uint8_t> volume, const std::function<void(ServerOptions&)>& tweak = {})
        : sources(std::move(volume)), server(observer, table, sources) {
        DriveEntry f;
        f.letter = 'F';
        f.path = "memory";
        table.set(f);
        ServerOptions options;
        options.password = "pw";
        options.bindAddress = "127.0.0.1";
        options.port = 0;
        options.stallLimit = std::chrono::milliseconds(500);
        if (tweak) tweak(options);
        EXPECT_TRUE(server.startUp(options));
        EXPECT_EQ(::pipe2(wake, O_CLOEXEC), 0);
        thread = std::thread([this] {
            std::vector<pollfd> set;
            for (;;) {
                set.assign(1, {wake[0], POLLIN, 0});
                server.pollSet(set);
                ::poll(set.data(), set.size(), server.pollTimeout());
                if (set[0].revents) break;
                server.handle(std::span<const pollfd>(set).subspan(1));
            }
            server.shutdown();
        });
    }
    ~ServedVolume() { stop(); }
    void stop() {
        if (!thread.joinable()) return;
        [[maybe_unused]] ssize_t n = ::write(wake[1], "x", 1);
        thread.join();
        ::close(wake[0]);
        ::close(wake[1]);
    }

    Observer observer;
    DriveTable table;
    SlowSectorSources sources;
    CServerDoc server;
    int wake[2] = {-1, -1};
    std::thread thread;
};

struct RemoteDrive : ::testing::Test {
    test::FatImage image = test::makeSampleFat();
    ServedVolume served{image.bytes};
    RecordingPrompts prompts;
    RemoteSources sources{prompts};

    bool connect(const std::string& password = "pw") {
        return sources.connection().connect("127.0.0.1", served.server.port()) && sources.connection().login(password);
    }
};

TEST_F(RemoteDrive, ListsAndReadsWhatALocalOpenDoes) {
    ASSERT_TRUE(connect());
    EXPECT_EQ(sources.connection().driveType("F:\\"), 3);
    EXPECT_EQ(sources.connection().driveType("G:\\"), 1);
    EXPECT_EQ(sources.connection().volumeInformation("F:\\")->fsName, "FAT");

    CQUIDNEYDoc remote(prompts, sources);
    remote.driveKind = DriveKind::Remote;
    remote.rootPath = "F:\\";
    remote.options.searchDisk = false;
    DocHost host;
    ASSERT_TRUE(remote.openCurrentDrive(host));
    test::OpenedImage local(image);
    ASSERT_TRUE(local.opened);
    ASSERT_EQ(remote.rootList.size(), local.doc.rootList.size());
    for (std::size_t i = 0; i < remote.rootList.size(); ++i) EXPECT_EQ(remote.rootList[i].name, local.doc.rootList[i].name);
    EXPECT_EQ(remote.drive().info().serialize(), local.doc.drive().info().serialize());

    // 25 sectors from an odd start go as requests of 20 and 5; the bytes land in order.
    std::vector<std::uint8_t> got(25 * 512);
    EXPECT_TRUE(remote.drive().readSectors(got, 7, 25));
    EXPECT_TRUE(std::equal(got.begin(), got.end(), image.bytes.begin() + 7 * 512));
    // A read the server fails leaves zeros and the connection up; a sector the wire cannot
    // carry is never asked for.
    const std::uint64_t end = image.bytes.size() / 512;
    EXPECT_EQ(remote.drive().readSectors(got, end - 1, 2).result(), ReadResult::Unreadable);
    EXPECT_EQ(remote.drive().readSectors(got, 1ull << 32, 1).result(), ReadResult::Unreadable);
    EXPECT_EQ(std::count(got.begin(), got.begin() + 512, 0), 512);
    EXPECT_TRUE(remote.drive().readSectors(got, 0, 1));
    EXPECT_EQ(served.observer.activity, 1);  // the open drive
    remote.drive().close();
    sources.connection().disconnect();
    served.stop();
    EXPECT_EQ(served.observer.activity, 0);
    EXPECT_TRUE(served.observer.logged(servermsg::kLogin));
    EXPECT_TRUE(served.observer.logged(servermsg::kLogout));
}

TEST_F(RemoteDrive, AServerThatGoesAwayLosesTheSourceNotSectors) {
    ASSERT_TRUE(connect());
    CQUIDNEYDoc remote(prompts, sources);
    remote.driveKind = DriveKind::Remote;
    remote.rootPath = "F:\\";
    remote.options.searchDisk = false;
    DocHost host;
    ASSERT_TRUE(remote.openCurrentDrive(host));
    served.stop();  // MSG_SHUTDOWN to the open connection
    std::vector<std::uint8_t> got(64 * 512, 0xEE);
    EXPECT_TRUE(remote.drive().readSectors(got, 0, 64).lost());
    EXPECT_EQ(std::count(got.begin(), got.end(), 0), static_cast<long>(got.size()));
    EXPECT_TRUE(prompts.shown(msg::kSourceLost));
    EXPECT_FALSE(sources.connection().connected());
    EXPECT_EQ(served.observer.activity, 0);  // the dropped connection's drive is no longer counted
}

TEST_F(RemoteDrive, AWrongPasswordOrNoSpxIsRefused) {
    // There is no SPX on Linux: the socket cannot be made.
    EXPECT_FALSE(sources.connection().connect("0000AB12:00A0C9123456", SERVER_PORT, Protocol::Ipx));
    EXPECT_EQ(prompts.ids(), std::vector<int>{msg::kSocketFailed});
    EXPECT_FALSE(connect("PW"));
    EXPECT_TRUE(prompts.shown(msg::kWrongPassword));
    EXPECT_FALSE(sources.connection().connected());
    served.stop();
    EXPECT_TRUE(served.observer.logged(servermsg::kIllegalLogin));
}

// One slow sector holds up the requests behind it on its own connection and nothing else: not
// another client, not a connection that drops meanwhile, not the shutdown's word to the clients.
TEST_F(RemoteDrive, ASlowSectorHoldsUpOnlyItsConnection) {
    const std::uint32_t slow = 100;
    served.sources.slowSector = slow;
    auto sectors = [&](std::uint32_t first, std::uint32_t count) {
        return Bytes8(image.bytes.begin() + first * 512, image.bytes.begin() + (first + count) * 512);
    };
    auto read = [](std::uint32_t first, std::uint32_t count) { return vec(ReadSectorsRequest{first, count}.serialize()); };
    const std::uint32_t end = static_cast<std::uint32_t>(image.bytes.size() / 512);
    const struct {
        std::uint8_t code;
        Bytes8 payload, reply;
        std::uint8_t replyCode;
    } requests[] = {
        {MSG_READ_SECTORS, read(0, 2), sectors(0, 2), MSG_DATA},
        {MSG_READ_SECTORS, read(slow, 1), sectors(slow, 1), MSG_DATA},
        {MSG_PING, {}, {}, MSG_OK},
        {MSG_DRIVE_TYPE, encodeRootPath("F:\\"), {3, 0}, MSG_DATA},
        {MSG_READ_SECTORS, read(slow + 1, 2), sectors(slow + 1, 2), MSG_DATA},
        {MSG_READ_SECTORS, read(end - 1, 2), {}, MSG_FAIL},
    };
    ClientConnection a(prompts);
    ASSERT_TRUE(a.connect("127.0.0.1", served.server.port()) && a.login("pw") && a.openDrive("F:\\"));
    for (const auto& r : requests) ASSERT_TRUE(a.sendMessage(r.code, r.payload));

    // A client that goes away, its connection reset, while its own read of the sector waits.
    UniqueFd dropped(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(served.server.port());
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const linger reset{1, 0};
    ::setsockopt(dropped.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ASSERT_EQ(::connect(dropped.get(), reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    Bytes8 doomed = encodeMessage(MSG_LOGIN, LoginRequest{"pw", "127.0.0.1", "GONE"}.serialize());
    for (const auto& m : {encodeMessage(MSG_OPEN_DRIVE, encodeRootPath("F:\\")), encodeMessage(MSG_READ_SECTORS, read(slow, 1))})
        doomed.insert(doomed.end(), m.begin(), m.end());
    ASSERT_TRUE(sendAll(dropped.get(), doomed));
    ASSERT_TRUE(served.sources.awaitHeld(2));
    dropped.reset();

    // Another client is served in full while both reads are held.
    ClientConnection b(prompts);
    ASSERT_TRUE(b.connect("127.0.0.1", served.server.port()) && b.login("pw") && b.openDrive("F:\\"));
    Bytes8 got(60 * 512);
    EXPECT_EQ(b.readSectors(slow - 60, 512, got), ReadResult::Done);
    EXPECT_EQ(got, sectors(slow - 60, 60));
    b.disconnect();
    EXPECT_EQ(served.sources.held(), 2);

    served.sources.release();
    for (std::size_t i = 0; i < std::size(requests); ++i) {
        const auto reply = a.receiveMessage(4096);
        ASSERT_TRUE(reply) << i;
        EXPECT_EQ(reply->code, requests[i].replyCode) << i;
        EXPECT_EQ(reply->payload, requests[i].reply) << i;
    }

    // Shutdown tells the client at once, and waits for the held read before the drive goes.
    ASSERT_TRUE(served.sources.awaitHeld(0));
    ASSERT_TRUE(a.sendMessage(MSG_READ_SECTORS, read(slow, 1)));
    ASSERT_TRUE(served.sources.awaitHeld(1));
    std::thread stopping([&] { served.stop(); });
    const auto shutdown = a.receiveMessage(4096);
    EXPECT_TRUE(shutdown && shutdown->code == MSG_SHUTDOWN);
    EXPECT_EQ(served.sources.held(), 1);
    served.sources.release();
    stopping.join();
    EXPECT_EQ(served.observer.activity, 0);
}

// Reads that follow on are read ahead: the server is already reading well past the last of them.
// Then every read gets its own bytes and verdict, whatever the stream had asked for before it.
TEST_F(RemoteDrive, ReadsAheadAndEachReadGetsItsOwnSectors) {
    const std::uint64_t slow = 1900, end = image.bytes.size() / 512;
    served.sources.slowSector = slow;
    ClientConnection c(prompts);
    ASSERT_TRUE(c.connect("127.0.0.1", served.server.port()) && c.login("pw") && c.openDrive("F:\\"));
    Bytes8 got(256 * 512);
    for (std::uint64_t first = 1000; first < 1512; first += 256) ASSERT_EQ(c.readSectors(first, 512, got), ReadResult::Done);
    ASSERT_TRUE(served.sources.awaitHeld(1));
    served.sources.slowSector = ~0ull;
    served.sources.release();

    const struct {
        std::uint64_t first, count;
        ReadResult result;
    } reads[] = {
        {1890, 30, ReadResult::Done},    // further on, over the sector that was slow
        {1935, 7, ReadResult::Done},     // a little further on
        {10, 25, ReadResult::Done},      // back again
        {35, 600, ReadResult::Done},     // follows on
        {end - 45, 15, ReadResult::Done},
        {end - 30, 30, ReadResult::Done},  // the request read ahead over the end failed, not these
        {end - 1, 2, ReadResult::Unreadable},
        {7, 25, ReadResult::Done},
    };
    for (const auto& r : reads) {
        Bytes8 out(r.count * 512, 0xEE);
        EXPECT_EQ(c.readSectors(r.first, 512, out), r.result) << r.first;
        if (r.result == ReadResult::Done) {
            EXPECT_TRUE(std::equal(out.begin(), out.end(), image.bytes.begin() + r.first * 512)) << r.first;
        }
        if (r.first == 35) {
            EXPECT_EQ(c.driveType("F:\\"), 3);  // a query behind reads still owed
        }
    }
    EXPECT_FALSE(prompts.shown(msg::kConnectionReset));
}

// Reads along a plan are read ahead along it at once, from one extent on to the next, and
// nothing in its gaps or past its end is read; a read that leaves it gets its own sectors, and
// a plan gone through is not followed again.
TEST_F(RemoteDrive, ReadsAheadAlongAPlanAndNowhereElse) {
    ClientConnection c(prompts);
    ASSERT_TRUE(c.connect("127.0.0.1", served.server.port()) && c.login("pw") && c.openDrive("F:\\"));
    const std::vector<SectorExtent> plan = {{600, 64}, {100, 32}, {2000, 200}, {300, 8}};
    c.planReads(plan, 512);
    const std::size_t before = served.sources.reads().size();
    auto readsRight = [&](std::uint64_t first, std::uint64_t count) {
        Bytes8 out(count * 512, 0xEE);
        return c.readSectors(first, 512, out) == ReadResult::Done &&
               std::equal(out.begin(), out.end(), image.bytes.begin() + static_cast<std::ptrdiff_t>(first * 512));
    };
    ASSERT_TRUE(readsRight(600, 16));
    // The last extent is read before the reads reach the second.
    EXPECT_TRUE(served.sources.awaitRead(307));
    for (const SectorExtent& e : plan)
        for (std::uint64_t at = e.first == 600 ? 616 : e.first; at < e.first + e.count; at += 16)
            EXPECT_TRUE(readsRight(at, std::min<std::uint64_t>(16, e.first + e.count - at))) << at;
    const auto reads = served.sources.reads();
    for (std::size_t i = before; i < reads.size(); ++i) {
        const auto [first, end] = reads[i];
        EXPECT_TRUE(std::ranges::any_of(plan, [&](const SectorExtent& e) { return e.first <= first && end <= e.first + e.count; }))
            << first << "-" << end;
    }
    // Used up, the plan leads nowhere: a read among its sectors again is read as any other.
    EXPECT_TRUE(readsRight(2000, 8));
    EXPECT_EQ(c.driveType("F:\\"), 3);  // takes every reply still owed
    EXPECT_EQ(std::ranges::count_if(served.sources.reads(), [](const auto& r) { return r.first <= 300 && 300 < r.second; }), 1);
    EXPECT_TRUE(readsRight(40, 30));
    EXPECT_TRUE(readsRight(2190, 20));  // runs on past the plan's extent
    EXPECT_FALSE(prompts.shown(msg::kConnectionReset));
}

// Bound to every address by 0.0.0.0, the server names this machine's address to its clients, not
// one they cannot connect to.
TEST(ServerAddress, EveryAddressIsNotTheAddressClientsAreTold) {
    ServedVolume served(test::makeSampleFat().bytes, [](ServerOptions& o) { o.bindAddress = "0.0.0.0"; });
    EXPECT_NE(served.server.hostText().address, "0.0.0.0");
}

// A socket of `type` from the loopback address `source` to `port`; a wait on it ends after half
// a minute, so a server that never answers fails the test.
UniqueFd dial(std::uint16_t port, const char* source, int type = SOCK_STREAM) {
    UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    sockaddr_in at{AF_INET, 0, {}, {}};
    ::inet_pton(AF_INET, source, &at.sin_addr);
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    const timeval patience{30, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    at = {AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    return fd;
}

// Sends a message; the code of the one that comes back, or 0 when the server closed instead.
int ask(const UniqueFd& fd, std::uint8_t code, const Bytes8& payload = {}) {
    StreamReader reader(64);
    std::array<std::uint8_t, MessageHeader::kSize> header;
    if (!sendAll(fd.get(), encodeMessage(code, payload)) || !reader.readExact(fd.get(), header)) return 0;
    Bytes8 rest(MessageHeader::parse(header)->length);
    return reader.readExact(fd.get(), rest) ? header[1] : 0;
}

Bytes8 loginWith(const std::string& password) { return vec(LoginRequest{password, "127.0.0.1", "T"}.serialize()); }

// The server's clock is the test's: a limit runs out when the test says, however slow the
// machine; the server notices at its next event.
struct ServerUnderAbuse : ::testing::Test {
    std::atomic<long long> seconds{1000};
    ServedVolume served{test::makeSampleFat().bytes, [this](ServerOptions& o) {
                            o.maxConnections = 3;
                            o.maxPerAddress = 2;
                            o.clock = [this] { return std::chrono::steady_clock::time_point(std::chrono::seconds(seconds)); };
                        }};
    UniqueFd from(const char* source, int type = SOCK_STREAM) { return dial(served.server.port() + (type == SOCK_DGRAM), source, type); }
};

TEST_F(ServerUnderAbuse, IdleConnectionsGiveWayToAClientThatLogsIn) {
    std::vector<UniqueFd> idle;
    for (const char* source : {"127.0.0.2", "127.0.0.2", "127.0.0.2", "127.0.0.3"}) idle.push_back(from(source));
    // Served last, so taken in last: the third of 127.0.0.2 took its oldest's place.
    ASSERT_EQ(ask(idle[3], MSG_PING), MSG_OK);
    EXPECT_EQ((std::vector{ask(idle[0], MSG_PING), ask(idle[1], MSG_PING), ask(idle[2], MSG_PING)}),
              (std::vector<int>{0, MSG_OK, MSG_OK}));
    RecordingPrompts prompts;
    ClientConnection client(prompts);
    ASSERT_TRUE(client.connect("127.0.0.1", served.server.port()) && client.login("pw"));  // the oldest idle one goes
    EXPECT_EQ(ask(idle[1], MSG_PING), 0);
    seconds += 10;  // the login limit
    EXPECT_EQ(client.driveType("F:\\"), 3);
    EXPECT_EQ((std::vector{ask(idle[2], MSG_PING), ask(idle[3], MSG_PING)}), (std::vector{0, 0}));
    EXPECT_EQ(client.driveType("F:\\"), 3);
    EXPECT_EQ(served.observer.count(0, "connections"), 2);  // each cap said once
}

TEST_F(ServerUnderAbuse, FailedLoginsHoldUpOnlyTheirAddressForAGrowingTime) {
    auto login = [&](const char* source, const char* password) { return ask(from(source), MSG_LOGIN, loginWith(password)); };
    for (int i = 0; i < 20; ++i) EXPECT_EQ(login("127.0.0.2", "guess"), MSG_FAIL);
    EXPECT_EQ(login("127.0.0.2", "pw"), MSG_FAIL);
    EXPECT_EQ(login("127.0.0.3", "pw"), MSG_LOGIN_OK);
    // A refusal while refused makes the refusal no longer; each failure after the first does.
    seconds += CServerDoc::kFirstRefusal.count();
    EXPECT_EQ(login("127.0.0.2", "pw"), MSG_LOGIN_OK);
    EXPECT_EQ(served.observer.count(servermsg::kIllegalLogin), static_cast<long>(CServerDoc::kFreeLoginFailures));
    EXPECT_EQ(served.observer.count(0, "] 18 more logins refused"), 1);
    for (unsigned i = 0; i <= CServerDoc::kFreeLoginFailures; ++i, seconds += CServerDoc::kFirstRefusal.count())
        EXPECT_EQ(login("127.0.0.2", "guess"), MSG_FAIL);
    EXPECT_EQ(login("127.0.0.2", "pw"), MSG_FAIL);
    seconds += CServerDoc::kFirstRefusal.count();
    EXPECT_EQ(login("127.0.0.2", "pw"), MSG_LOGIN_OK);
}

TEST_F(ServerUnderAbuse, DiscoveryAnswersOnlyRequestsAndAnAddressOnceASecond) {
    UniqueFd a = from("127.0.0.2", SOCK_DGRAM), b = from("127.0.0.3", SOCK_DGRAM);
    std::array<std::uint8_t, 64> answer;
    auto answers = [&](const UniqueFd& fd, int flags = 0) { return ::recv(fd.get(), answer.data(), answer.size(), flags); };
    const Bytes8 request = vec(discoveryRequest());
    const std::pair<const UniqueFd*, Bytes8> sent[] = {
        {&a, request}, {&a, request}, {&b, Bytes8(6, 0)}, {&b, Bytes8{1, MSG_LOGIN, 0, 0, 0, 0}}, {&b, request}};
    for (const auto& [fd, datagram] : sent) ::send(fd->get(), datagram.data(), datagram.size(), 0);
    // Answered in order: once the last is, none before it will be.
    EXPECT_EQ((std::vector{answers(b), answers(b, MSG_DONTWAIT), answers(a), answers(a, MSG_DONTWAIT)}),
              (std::vector<ssize_t>{kDiscoveryAnswerBytes, -1, kDiscoveryAnswerBytes, -1}));
    ++seconds;
    ::send(a.get(), request.data(), request.size(), 0);
    EXPECT_EQ(answers(a), static_cast<ssize_t>(kDiscoveryAnswerBytes));
}

// A server that takes the connection request and says nothing fails the client at its deadline.
TEST(ClientDeadlines, AServerThatSaysNothingFailsTheClient) {
    UniqueFd listening(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof at;
    ASSERT_EQ(::bind(listening.get(), reinterpret_cast<sockaddr*>(&at), length), 0);
    ASSERT_EQ(::listen(listening.get(), 0), 0);  // one connection waits; the kernel drops the next
    ::getsockname(listening.get(), reinterpret_cast<sockaddr*>(&at), &length);
    const std::vector<int> reset{msg::kConnectionReset, msg::kClosingConnection};
    std::vector<UniqueFd> held;
    for (int stall : {0, 1, 2}) {  // at the login, at a reply, at the connect
        RecordingPrompts prompts;
        ClientConnection client(prompts);
        client.setDeadlines({std::chrono::milliseconds(200), std::chrono::milliseconds(200), std::chrono::milliseconds(200)});
        if (stall < 2) {
            ASSERT_TRUE(client.connect("127.0.0.1", ntohs(at.sin_port)));
        }
        if (stall == 1) {
            held.emplace_back(::accept4(listening.get(), nullptr, nullptr, SOCK_CLOEXEC));
            ASSERT_TRUE(sendAll(held.back().get(), encodeMessage(MSG_LOGIN_OK, ServerEntry{}.serialize())));
            ASSERT_TRUE(client.login("pw"));
            EXPECT_EQ(client.driveType("F:\\"), 0);
            held.push_back(dial(ntohs(at.sin_port), "127.0.0.1"));  // fills the backlog
        }
        if (stall == 0) {
            EXPECT_FALSE(client.login("pw"));
        } else if (stall == 2) {
            EXPECT_FALSE(client.connect("127.0.0.1", ntohs(at.sin_port)));
        }
        EXPECT_EQ(prompts.ids(), (std::vector<std::vector<int>>{{reset[0], reset[1], msg::kWrongPassword}, reset,
                                                                 {msg::kSocketFailed}}[stall]));
        EXPECT_FALSE(client.connected());
        if (stall == 0) held.emplace_back(::accept4(listening.get(), nullptr, nullptr, SOCK_CLOEXEC));
    }
}

// A client that asks and never reads costs the server no more than about its high-water mark,
// even when the worker hands each reply over on its own.
TEST(ServerQueues, RepliesWaitingForAClientHoldNoMoreThanTheirBytes) {
    Observer observer;
    DriveTable table;
    DriveEntry f;
    f.letter = 'F';
    f.path = "memory";
    table.set(f);
    MemorySources sources(test::makeSampleFat().bytes);
    CServerDoc server(observer, table, sources);
    ServerOptions options;
    options.password = "pw";
    options.port = 0;
    ASSERT_TRUE(server.startUp(options));
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const int small = 4096;
    ::setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    server.adopt(UniqueFd(pair[0]));
    UniqueFd peer(pair[1]);
    const CClientSocket& c = *server.connections().front();
    auto send = [&](std::uint8_t code, const Bytes8& payload) {
        ASSERT_TRUE(sendAll(peer.get(), encodeMessage(code, payload)));
        // Served when read and answered, or when the server stops reading for the replies.
        for (int unread = 1, i = 0; unread > 0 || !c.in.empty() || c.inFlight > 0; ++i) {
            if (c.pendingOut() >= CServerDoc::kOutputHighWater) return;
            ASSERT_LT(i, 1000) << "not served";
            std::vector<pollfd> set;
            server.pollSet(set);
            ::poll(set.data(), set.size(), 100);
            server.handle(set);
            ::ioctl(c.fd.get(), FIONREAD, &unread);
        }
    };
    send(MSG_LOGIN, loginWith("pw"));
    send(MSG_OPEN_DRIVE, encodeRootPath("F:\\"));
    ASSERT_EQ(c.sectorBytes, 512u);
    for (int i = 0; i < 5000 && c.pendingOut() < CServerDoc::kOutputHighWater; ++i)
        send(MSG_READ_SECTORS, vec(ReadSectorsRequest{0, 1}.serialize()));
    ASSERT_GE(c.pendingOut(), CServerDoc::kOutputHighWater);
    std::size_t held = 0;
    for (const auto& reply : c.out) held += reply.capacity();
    EXPECT_LE(held, 2 * CServerDoc::kOutputHighWater);
}

}  // namespace
}  // namespace harrow::remote
