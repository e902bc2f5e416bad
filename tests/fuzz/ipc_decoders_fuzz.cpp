// The IPC decoders on what a hostile peer may send: a stream of messages,
// each with a header that is either built well-formed around fuzzed fields
// or taken raw from the input, so the fuzzer reaches the payload decoders
// without having to find the magic first. Whatever decodes must encode
// back to the same bytes; nothing may read past what arrived.
#include "fuzz_support.h"
#include "vlm/ipc/protocol.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

namespace ipc = vlm::ipc;
using vlm::fuzz::Input;
using vlm::fuzz::Violated;

void CheckRequest(const ipc::Header& header, const std::vector<uint8_t>& payload)
{
    std::span<const uint8_t> bytes(payload);
    switch (ipc::Op(header.op)) {
    case ipc::Op::Create: {
        ipc::CreateRequest create;
        if (ipc::DecodeCreate(bytes, create)) {
            if (create.name.empty() || create.name.size() > ipc::kMaxName ||
                    create.name.find('\0') != std::string::npos)
                Violated("DecodeCreate accepted a name out of bounds");
            if (ipc::EncodeCreate(create) != payload)
                Violated("a decoded Create does not encode back to its bytes");
        }
        break;
    }
    case ipc::Op::Read: {
        uint32_t length = 0;
        if (ipc::DecodeRead(bytes, length)) {
            if (length > ipc::kMaxPayload)
                Violated("DecodeRead accepted a length over the bound");
            if (ipc::EncodeRead(length) != payload)
                Violated("a decoded Read does not encode back to its bytes");
        }
        break;
    }
    case ipc::Op::DeviceControl: {
        ipc::DeviceControlRequest control;
        if (ipc::DecodeDeviceControl(bytes, control)) {
            if (control.outputLength > ipc::kMaxPayload)
                Violated("DecodeDeviceControl accepted an output length over the bound");
            if (control.input.data() < payload.data() ||
                    control.input.data() + control.input.size() > payload.data() + payload.size())
                Violated("a control request's input points outside its payload");
            if (ipc::EncodeDeviceControl(control.code, control.outputLength, control.input) != payload)
                Violated("a decoded DeviceControl does not encode back to its bytes");
        }
        break;
    }
    case ipc::Op::Restart: {
        uint32_t reason = 0;
        if (ipc::DecodeRestart(bytes, reason) && ipc::EncodeRestart(reason) != payload)
            Violated("a decoded Restart does not encode back to its bytes");
        break;
    }
    case ipc::Op::PnpRemove: {
        std::string path;
        if (ipc::DecodeName(bytes, path) && std::string(payload.begin(), payload.end()) != path)
            Violated("DecodeName changed the name");
        break;
    }
    case ipc::Op::QueryPorts: {
        std::vector<ipc::PortActivity> ports;
        if (ipc::DecodePortActivity(bytes, ports) && ipc::EncodePortActivity(ports) != payload)
            Violated("a decoded port list does not encode back to its bytes");
        break;
    }
    default:
        break;
    }
}

void CheckReply(const ipc::Header& header, const std::vector<uint8_t>& payload)
{
    ipc::Reply reply;
    if (!ipc::DecodeReply(header, payload, reply))
        return;
    if (payload.size() < ipc::kReplyFixedBytes)
        Violated("DecodeReply accepted a payload shorter than its fixed part");
    if (reply.data.size() != payload.size() - ipc::kReplyFixedBytes)
        Violated("a reply's data is not the rest of its payload");
    // What the client decoded is what the server's encoder makes of it,
    // but for the reserved word, which the encoder writes as zero.
    std::vector<uint8_t> encoded = ipc::EncodeReply(ipc::Op(header.op & ~ipc::kReplyBit), reply);
    std::vector<uint8_t> original(ipc::kHeaderBytes + payload.size());
    ipc::Header expected = header;
    expected.length = uint32_t(payload.size());
    ipc::EncodeHeader(expected, std::span<uint8_t, ipc::kHeaderBytes>(original.data(), ipc::kHeaderBytes));
    std::copy(payload.begin(), payload.end(), original.begin() + ipc::kHeaderBytes);
    memset(original.data() + ipc::kHeaderBytes + 4, 0, 4);
    if (expected.reserved == 0 && encoded != original)
        Violated("a decoded reply does not encode back to its bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    vlm::fuzz::CountInput();
    Input in(data, size);
    for (int message = 0; message < 64 && !in.empty(); ++message) {
        uint8_t mode = in.Byte();
        uint8_t raw[ipc::kHeaderBytes] = {};
        if (mode & 1) {
            std::vector<uint8_t> bytes = in.Bytes(ipc::kHeaderBytes);
            std::copy(bytes.begin(), bytes.end(), raw);
        } else {
            ipc::Header built;
            built.op = uint16_t(in.Byte() % 13) | (mode & 2 ? ipc::kReplyBit : 0);
            built.id = in.U32();
            built.handle = in.U32();
            built.length = in.Byte() | uint32_t(in.Byte()) << 8;
            ipc::EncodeHeader(built, std::span<uint8_t, ipc::kHeaderBytes>(raw, ipc::kHeaderBytes));
        }
        ipc::Header header = ipc::DecodeHeader(std::span<const uint8_t, ipc::kHeaderBytes>(raw, ipc::kHeaderBytes));
        uint8_t again[ipc::kHeaderBytes];
        ipc::EncodeHeader(header, std::span<uint8_t, ipc::kHeaderBytes>(again, ipc::kHeaderBytes));
        if (memcmp(raw, again, ipc::kHeaderBytes) != 0)
            Violated("a decoded header does not encode back to its bytes");
        ipc::HeaderCheck check = ipc::CheckHeader(header);
        if (ipc::HeaderCheckName(check) == nullptr)
            Violated("a header check without a name");
        if (check != ipc::HeaderCheck::Ok)
            continue;  // the connection would end here
        if (header.length > ipc::kMaxPayload + ipc::kReplyFixedBytes)
            Violated("CheckHeader passed a length over the bound");
        // As the receiver reads it: as many bytes as the header says, or
        // what is left of the stream.
        std::vector<uint8_t> payload = in.Bytes(header.length);
        if (header.op & ipc::kReplyBit)
            CheckReply(header, payload);
        else
            CheckRequest(header, payload);
    }
    return 0;
}
