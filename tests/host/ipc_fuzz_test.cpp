// Random and mutated messages: the decoder on its own, and a live server
// under a bounded stream of them. Neither may crash, read out of bounds or
// leak, and the server must still serve a well-behaved client afterwards.
// The seed is printed; VLM_FUZZ_SEED replays a run.
#include "ipc_fixture.h"

#include <ntddser.h>

#include <cstdlib>
#include <cstring>
#include <random>

namespace vlm::test {
namespace {

namespace ipc = vlm::ipc;
using namespace std::chrono_literals;
using Op = ipc::Op;
using Clock = std::chrono::steady_clock;

uint32_t Seed()
{
    if (const char* text = getenv("VLM_FUZZ_SEED"))
        return uint32_t(strtoul(text, nullptr, 0));
    return std::random_device{}();
}

std::vector<uint8_t> RandomBytes(std::mt19937& random, size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (auto& b : bytes)
        b = uint8_t(random());
    return bytes;
}

// Sizes that favour the edges of each bound.
size_t RandomSize(std::mt19937& random, size_t max)
{
    switch (random() % 4) {
    case 0:
        return random() % 16;
    case 1:
        return random() % 600;
    case 2:
        return max - random() % 16;
    default:
        return random() % (max + 1);
    }
}

TEST(IpcDecoder, RandomAndMutatedInputNeverBreaksABound)
{
    uint32_t seed = Seed();
    std::mt19937 random(seed);
    RecordProperty("seed", std::to_string(seed));
    std::printf("decoder fuzz seed %u\n", seed);
    auto deadline = Clock::now() + 20s;
    for (int i = 0; i < 100000 && Clock::now() < deadline; ++i) {
        SCOPED_TRACE("iteration " + std::to_string(i) + ", seed " + std::to_string(seed));
        std::vector<uint8_t> raw = RandomBytes(random, ipc::kHeaderBytes);
        if (random() % 2) {  // mostly valid headers, one field mutated
            ipc::Header valid;
            valid.op = uint16_t(1 + random() % 9);
            valid.length = uint32_t(random() % 2000);
            ipc::EncodeHeader(valid, std::span<uint8_t, ipc::kHeaderBytes>(raw.data(), ipc::kHeaderBytes));
            raw[random() % raw.size()] ^= uint8_t(1u << (random() % 8));
        }
        ipc::Header header =
                ipc::DecodeHeader(std::span<const uint8_t, ipc::kHeaderBytes>(raw.data(), ipc::kHeaderBytes));
        std::vector<uint8_t> again(ipc::kHeaderBytes);
        ipc::EncodeHeader(header, std::span<uint8_t, ipc::kHeaderBytes>(again.data(), ipc::kHeaderBytes));
        ASSERT_EQ(again, raw) << "header does not round-trip";
        if (ipc::CheckHeader(header) == ipc::HeaderCheck::Ok) {
            ASSERT_EQ(header.magic, ipc::kMagic);
            ASSERT_EQ(header.version, ipc::kVersion);
            ASSERT_LE(header.length, ipc::kMaxPayload + ipc::kReplyFixedBytes);
        }

        // Payloads exactly as long as they claim: ASan sees any read past them.
        std::vector<uint8_t> payload = RandomBytes(random, RandomSize(random, ipc::kMaxName + 16));
        ipc::CreateRequest create;
        if (ipc::DecodeCreate(payload, create)) {
            ASSERT_EQ(payload.size(), 8 + create.name.size());
            ASSERT_GE(create.name.size(), 1u);
            ASSERT_LE(create.name.size(), ipc::kMaxName);
            ASSERT_EQ(create.name.find('\0'), std::string::npos);
            ASSERT_EQ(ipc::EncodeCreate(create), payload);
        }
        uint32_t length = 0;
        if (ipc::DecodeRead(payload, length)) {
            ASSERT_EQ(payload.size(), 4u);
            ASSERT_LE(length, ipc::kMaxPayload);
        }
        ipc::DeviceControlRequest control;
        if (ipc::DecodeDeviceControl(payload, control)) {
            ASSERT_EQ(control.input.size() + 8, payload.size());
            ASSERT_LE(control.outputLength, ipc::kMaxPayload);
            ASSERT_EQ(ipc::EncodeDeviceControl(control.code, control.outputLength, control.input), payload);
        }
        std::string name;
        if (ipc::DecodeName(payload, name)) {
            ASSERT_EQ(name.size(), payload.size());
        }
        ipc::Reply reply;
        header.op |= uint16_t(random() % 2 ? ipc::kReplyBit : 0);
        if (ipc::DecodeReply(header, payload, reply)) {
            ASSERT_GE(payload.size(), ipc::kReplyFixedBytes);
            ASSERT_EQ(reply.data.size(), payload.size() - ipc::kReplyFixedBytes);
        }
    }
}

// Valid requests of every kind, as templates to mutate. The fuzzing
// clients open the parking device, never COM3: the driver re-reads the
// port's name into its record at every create, before it refuses a second
// one, so overlapping creates of one port race inside the driver. COM3 is
// opened, used and closed meanwhile by a well-behaved client, one open at
// a time.
std::vector<std::vector<uint8_t>> Templates(uint32_t handle)
{
    ULONG mask = SERIAL_EV_RXCHAR;
    SERIAL_TIMEOUTS timeouts{MAXULONG, 0, 0, 0, 0};
    auto bytes = [](const void* p, size_t n) {
        return std::vector<uint8_t>(static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
    };
    return {
            ipc::EncodeMessage(Op::Hello, 1, 0, {}),
            ipc::EncodeMessage(Op::Create, 3, 0, ipc::EncodeCreate({0xC0000000, 0, "\\??\\PARK0"})),
            ipc::EncodeMessage(Op::Create, 14, 0, ipc::EncodeCreate({0xC0000000, 0, "\\??\\COM9"})),
            ipc::EncodeMessage(Op::Write, 4, handle, Bytes("fuzz job\n")),
            ipc::EncodeMessage(Op::Read, 5, handle, ipc::EncodeRead(32)),
            ipc::EncodeMessage(Op::DeviceControl, 6, handle,
                    ipc::EncodeDeviceControl(IOCTL_SERIAL_SET_TIMEOUTS, 0, bytes(&timeouts, sizeof timeouts))),
            ipc::EncodeMessage(Op::DeviceControl, 7, handle,
                    ipc::EncodeDeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, 0, bytes(&mask, 4))),
            ipc::EncodeMessage(
                    Op::DeviceControl, 8, handle, ipc::EncodeDeviceControl(IOCTL_SERIAL_WAIT_ON_MASK, 4, {})),
            ipc::EncodeMessage(
                    Op::DeviceControl, 9, handle, ipc::EncodeDeviceControl(IOCTL_SERIAL_GET_COMMSTATUS, 64, {})),
            ipc::EncodeMessage(Op::Cancel, 10, handle, {}),
            ipc::EncodeMessage(Op::Close, 11, handle, {}),
            ipc::EncodeMessage(Op::PnpEnumerate, 12, 0, {}),
            ipc::EncodeMessage(Op::PnpRemove, 13, 0, Bytes("ROOT\\PORTS\\9999")),
    };
}

std::vector<uint8_t> Mutate(std::mt19937& random, std::vector<uint8_t> message)
{
    int edits = 1 + int(random() % 4);
    for (int e = 0; e < edits; ++e) {
        switch (random() % 6) {
        case 0:  // a bit of the payload, which leaves the framing intact
            if (message.size() > ipc::kHeaderBytes)
                message[ipc::kHeaderBytes + random() % (message.size() - ipc::kHeaderBytes)] ^=
                        uint8_t(1u << (random() % 8));
            break;
        case 1:  // the op
            message[6] = uint8_t(random() % 12);
            break;
        case 2:  // the id, into the range of others still outstanding
            message[8] = uint8_t(random() % 16);
            break;
        case 3:  // the handle
            message[12] = uint8_t(random() % 4);
            break;
        case 4: {  // the payload shortened or lengthened, the length kept honest
            size_t payload = message.size() - ipc::kHeaderBytes;
            size_t now = random() % 2 ? payload / 2 : payload + random() % 8;
            message.resize(ipc::kHeaderBytes + now, uint8_t(random()));
            for (int i = 0; i < 4; ++i)
                message[16 + i] = uint8_t(now >> (8 * i));
            break;
        }
        default:  // any byte at all: the framing itself may break
            message[random() % message.size()] = uint8_t(random());
            break;
        }
    }
    return message;
}

using IpcFuzz = IpcParked;

TEST_F(IpcFuzz, RandomAndMutatedMessagesNeitherCrashNorLeakAndTheServerStillServes)
{
    uint32_t seed = Seed();
    std::mt19937 random(seed);
    RecordProperty("seed", std::to_string(seed));
    std::printf("server fuzz seed %u\n", seed);
    FakePrinter printer;
    Assign(printer);
    int64_t handlesBefore = Handles();

    constexpr int kMessages = 2000;
    std::vector<std::unique_ptr<RawClient>> clients;
    int connections = 0;
    auto fresh = [&] {
        auto client = std::make_unique<RawClient>(server_->SocketPath());
        ++connections;
        if (random() % 8)  // now and then a client that never said Hello
            client->Hello();
        return client;
    };
    for (int i = 0; i < 3; ++i)
        clients.push_back(fresh());
    auto user = Client();
    std::string jobs;
    auto deadline = Clock::now() + 30s;
    int sent = 0;
    for (; sent < kMessages && Clock::now() < deadline; ++sent) {
        if (sent % 100 == 50) {
            uint32_t handle = 0;
            ASSERT_EQ(user->Open("\\DosDevices\\COM3", &handle), STATUS_SUCCESS) << LogText();
            std::string job = "job " + std::to_string(sent) + "\n";
            jobs += job;
            EXPECT_EQ(user->Call(Op::Write, handle, Bytes(job))->status, STATUS_SUCCESS);
            EXPECT_EQ(user->Call(Op::Close, handle)->status, STATUS_SUCCESS);
        }
        auto& client = clients[random() % clients.size()];
        if (client->WaitClosed(0ms))
            client = fresh();
        std::vector<uint8_t> message;
        switch (random() % 6) {
        case 0:
            message = RandomBytes(random, random() % 64);
            break;
        case 1: {  // a good header around random payload
            std::vector<uint8_t> payload = RandomBytes(random, random() % 128);
            message = ipc::EncodeMessage(Op(1 + random() % 9), random() % 32, random() % 4, payload);
            break;
        }
        default: {  // a valid request, now and then untouched (so that devices do get opened and used)
            auto templates = Templates(1 + random() % 3);
            message = templates[random() % templates.size()];
            if (random() % 5 != 2)
                message = Mutate(random, message);
            break;
        }
        }
        client->SendBytes(message);
    }
    std::printf("%d messages over %d connections\n", sent, connections);
    EXPECT_GE(sent, 200) << "too few messages in the time allowed";

    // Every fuzzing client goes; what they left open is closed for them.
    clients.clear();
    auto settled = Clock::now() + 20s;
    while (Handles() != handlesBefore && Clock::now() < settled)
        WaitForLog("no such line", 20ms);
    EXPECT_EQ(Handles(), handlesBefore) << LogText();
    std::string log = LogText();
    size_t opens = 0;
    for (size_t at = log.find(": PARK0 opened"); at != std::string::npos; at = log.find(": PARK0 opened", at + 1))
        ++opens;
    std::printf("the parking device was opened %zu times\n", opens);
    EXPECT_EQ(device().Parked(), 0u);
    ASSERT_TRUE(printer.WaitForBytes(jobs.size()));
    EXPECT_EQ(printer.Received(), jobs);
    user.reset();

    // A well-behaved client is still served, and the port is free.
    auto good = Client();
    uint32_t handle = 0;
    if (!jobs.empty()) {
        ASSERT_TRUE(printer.WaitForRelease());
    }
    ASSERT_EQ(good->Open("\\DosDevices\\COM3", &handle), STATUS_SUCCESS) << LogText();
    size_t already = printer.Received().size();
    auto reply = good->Call(Op::Write, handle, Bytes("after the storm"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, STATUS_SUCCESS);
    ASSERT_TRUE(printer.WaitForBytes(already + 15));
    EXPECT_EQ(printer.Received().substr(already), "after the storm");
    EXPECT_EQ(good->Call(Op::Close, handle)->status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace vlm::test
