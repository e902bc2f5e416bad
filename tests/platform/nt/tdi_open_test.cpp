// Opening \Device\Tcp: the extended attribute decides between a transport
// address and a connection endpoint, malformed lists are refused, a named
// local port is bound at once, and requests go only to the kind of object
// they are for.
#include "tdi_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace vlm::test {
namespace {

class TdiOpenTest : public KernelTest { };

void SetEaHeader(std::vector<UCHAR>& ea, ULONG at, ULONG next, UCHAR nameLength, USHORT valueLength)
{
    FILE_FULL_EA_INFORMATION header{};
    header.NextEntryOffset = next;
    header.EaNameLength = nameLength;
    header.EaValueLength = valueLength;
    memcpy(ea.data() + at, &header, FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName));
}

TEST_F(TdiOpenTest, TheDriversAddressBufferOpensATransportAddress)
{
    TdiObject address;
    ASSERT_EQ(OpenTransportObject(TransportAddressEa(), &address), STATUS_SUCCESS);
    EXPECT_EQ(ULONG_PTR(address.file->FsContext2), ULONG_PTR(TDI_TRANSPORT_ADDRESS_FILE));
    EXPECT_NE(address.file->FsContext, nullptr);
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(address.file);
    EXPECT_EQ(device->DeviceType, ULONG(FILE_DEVICE_NETWORK));
}

TEST_F(TdiOpenTest, TheDriversConnectionBufferOpensAConnectionEndpoint)
{
    TdiObject connection;
    ASSERT_EQ(OpenTransportObject(ConnectionEa(0), &connection), STATUS_SUCCESS);
    EXPECT_EQ(ULONG_PTR(connection.file->FsContext2), ULONG_PTR(TDI_CONNECTION_FILE));
    EXPECT_NE(connection.file->FsContext, nullptr);
}

TEST_F(TdiOpenTest, AnEightByteConnectionContextIsAccepted)
{
    std::vector<UCHAR> ea(40, 0);
    SetEaHeader(ea, 0, 0, TDI_CONNECTION_CONTEXT_LENGTH, 8);
    memcpy(ea.data() + 8, TdiConnectionContext, TDI_CONNECTION_CONTEXT_LENGTH + 1);
    TdiObject connection;
    EXPECT_EQ(OpenTransportObject(ea, &connection), STATUS_SUCCESS);
}

TEST_F(TdiOpenTest, NoAttributeOpensAControlChannel)
{
    std::vector<UCHAR> none;
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenTcp(none, &handle), STATUS_SUCCESS);
    PVOID file;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &file, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ULONG_PTR(static_cast<PFILE_OBJECT>(file)->FsContext2), ULONG_PTR(TDI_CONTROL_CHANNEL_FILE));
    ObDereferenceObject(file);
    ZwClose(handle);
}

TEST_F(TdiOpenTest, MalformedAttributeListsAreInvalidParameters)
{
    struct Case {
        const char* what;
        std::vector<UCHAR> ea;
    };
    std::vector<Case> cases;
    {
        auto ea = TransportAddressEa();
        SetEaHeader(ea, 0, 0, TDI_TRANSPORT_ADDRESS_LENGTH, 400);  // value runs past the buffer
        cases.push_back({"value past the end", ea});
    }
    {
        auto ea = ConnectionEa();
        SetEaHeader(ea, 0, 0, 200, 4);  // name runs past the buffer
        cases.push_back({"name past the end", ea});
    }
    {
        auto ea = TransportAddressEa();
        SetEaHeader(ea, 0, 4, TDI_TRANSPORT_ADDRESS_LENGTH, 42);  // next entry inside this one
        ea[8] = 'X';                                              // so the walk has to move on
        cases.push_back({"overlapping entries", ea});
    }
    {
        auto ea = TransportAddressEa();
        ea.resize(6);  // shorter than an entry's header
        cases.push_back({"truncated header", ea});
    }
    {
        auto ea = TransportAddressEa();
        memcpy(ea.data() + 8, "TransportAddresZ", TDI_TRANSPORT_ADDRESS_LENGTH);
        cases.push_back({"no transport attribute", ea});
    }
    {
        auto ea = ConnectionEa();
        SetEaHeader(ea, 0, 0, TDI_CONNECTION_CONTEXT_LENGTH, 2);  // a context shorter than 4 bytes
        cases.push_back({"short context", ea});
    }
    for (auto& c : cases) {
        HANDLE handle = reinterpret_cast<HANDLE>(1);
        EXPECT_EQ(OpenTcp(c.ea, &handle), STATUS_INVALID_PARAMETER) << c.what;
        EXPECT_EQ(handle, nullptr) << c.what;
    }
}

TEST_F(TdiOpenTest, TheAttributeIsFoundBehindOthersInTheList)
{
    // An unrelated first entry, then the transport address at offset 16.
    std::vector<UCHAR> ea(16 + 328, 0);
    SetEaHeader(ea, 0, 16, 3, 2);
    memcpy(ea.data() + 8, "Foo", 4);
    const auto address = TransportAddressEa();
    memcpy(ea.data() + 16, address.data(), address.size());
    TdiObject object;
    ASSERT_EQ(OpenTransportObject(ea, &object), STATUS_SUCCESS);
    EXPECT_EQ(ULONG_PTR(object.file->FsContext2), ULONG_PTR(TDI_TRANSPORT_ADDRESS_FILE));
}

TEST_F(TdiOpenTest, AnAddressWithoutAnIpEntryIsAnInvalidAddress)
{
    auto ea = TransportAddressEa();
    const USHORT ip6 = TDI_ADDRESS_TYPE_IP6;
    memcpy(ea.data() + 25 + FIELD_OFFSET(TA_IP_ADDRESS, Address) + FIELD_OFFSET(TA_ADDRESS, AddressType), &ip6,
            sizeof ip6);
    HANDLE handle = nullptr;
    EXPECT_EQ(OpenTcp(ea, &handle), STATUS_INVALID_ADDRESS);
    EXPECT_EQ(handle, nullptr);
}

TEST_F(TdiOpenTest, ANamedLocalPortIsBoundAtOpenAndUsedByItsConnections)
{
    // A port some listener holds cannot be opened.
    LoopbackListener busy;
    TdiObject refused;
    EXPECT_EQ(OpenTransportObject(TransportAddressEa(htonl(INADDR_LOOPBACK), htons(busy.port())), &refused),
            STATUS_ADDRESS_ALREADY_EXISTS);

    // A free one is, and connections leave from it.
    ClosedPort spare;
    const USHORT local = spare.port();
    spare = ClosedPort();  // a different port held now; `local` is free again
    LoopbackListener listener;
    TdiClient client;
    ASSERT_EQ(OpenTransportObject(TransportAddressEa(htonl(INADDR_LOOPBACK), htons(local)), &client.address),
            STATUS_SUCCESS);
    ASSERT_EQ(OpenTransportObject(ConnectionEa(), &client.connection), STATUS_SUCCESS);
    ASSERT_EQ(Associate(client.connection.file, client.address.handle), STATUS_SUCCESS);
    ASSERT_EQ(client.ConnectTo(listener.port()), STATUS_SUCCESS);
    UniqueFd peer = listener.Accept();
    ASSERT_TRUE(peer);
    sockaddr_in from{};
    socklen_t size = sizeof from;
    getpeername(peer.get(), reinterpret_cast<sockaddr*>(&from), &size);
    EXPECT_EQ(ntohs(from.sin_port), local);
    ASSERT_EQ(Disconnect(client.connection.file, TDI_DISCONNECT_ABORT, nullptr), STATUS_SUCCESS);
    client.Close();
}

TEST_F(TdiOpenTest, RequestsForTheOtherKindOfObjectAreInvalidDeviceRequests)
{
    TdiClient client;
    client.Open();
    HandlerLog log;
    EXPECT_EQ(SetEventHandler(
                      client.connection.file, TDI_EVENT_RECEIVE, reinterpret_cast<PVOID>(HandlerLog::OnReceive), &log),
            STATUS_INVALID_DEVICE_REQUEST);
    LARGE_INTEGER timeout = RealTimeout(1);
    EXPECT_EQ(Connect(client.address.file, 9, &timeout), STATUS_INVALID_DEVICE_REQUEST);
    client.Close();
}

TEST_F(TdiOpenTest, RequestsTheTransportDoesNotOfferFailHonestly)
{
    TdiObject address;
    ASSERT_EQ(OpenTransportObject(TransportAddressEa(), &address), STATUS_SUCCESS);
    TdiCall call(address.file);
    IoGetNextIrpStackLocation(call.irp())->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoGetNextIrpStackLocation(call.irp())->MinorFunction = TDI_QUERY_INFORMATION;
    IoGetNextIrpStackLocation(call.irp())->FileObject = address.file;
    IoSetCompletionRoutine(call.irp(), TdiCall::Completed, &call, TRUE, TRUE, TRUE);
    call.Call();
    EXPECT_EQ(call.Finish(), STATUS_NOT_IMPLEMENTED);

    HandlerLog log;
    EXPECT_EQ(SetEventHandler(address.file, TDI_EVENT_CONNECT, reinterpret_cast<PVOID>(HandlerLog::OnReceive), &log),
            STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(SetEventHandler(address.file, TDI_EVENT_CONNECT, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(SetEventHandler(address.file, 99, nullptr, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(TdiOpenTest, AssociationNeedsAnOpenAddressAndHappensOnce)
{
    TdiClient client;
    client.Open();
    EXPECT_EQ(Associate(client.connection.file, client.address.handle), STATUS_ADDRESS_ALREADY_ASSOCIATED);
    EXPECT_EQ(Disassociate(client.connection.file), STATUS_SUCCESS);
    EXPECT_EQ(Disassociate(client.connection.file), STATUS_INVALID_CONNECTION);
    // A connection endpoint is not an address.
    EXPECT_EQ(Associate(client.connection.file, client.connection.handle), STATUS_INVALID_HANDLE);
    EXPECT_EQ(Associate(client.connection.file, reinterpret_cast<HANDLE>(0x80001234)), STATUS_INVALID_HANDLE);
    client.Close();
}

}  // namespace
}  // namespace vlm::test
