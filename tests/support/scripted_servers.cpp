#include "support/scripted_servers.h"

#include "wire/packet_writer.h"

namespace kivsdk::test {
namespace {

Bytes body_of(PacketWriter& writer) {
    const PacketWriter::Frame frame = writer.finish();
    return Bytes(frame.data + 2, frame.data + frame.size);
}

}  // namespace

int universe_opening(ServerConnection& connection, const CertAndKey& identity,
                     TlsVersions versions) {
    const Bytes request = connection.read_frame();
    if (request != Bytes{39}) throw ScriptError("expected the secure-channel request");
    connection.write_frame({39});
    return connection.start_tls(identity, versions);
}

Bytes answer_login(ServerConnection& connection, std::uint8_t result, std::int32_t value,
                   const std::string& text) {
    const Bytes login = connection.read_frame();
    if (login.empty() || login[0] != 1) throw ScriptError("expected a login");
    PacketWriter reply;
    reply.append_byte(1);
    reply.append_byte(result);
    reply.append_int32(value);
    reply.append_string(text);
    connection.write_frame(body_of(reply));
    return login;
}

Ticket test_ticket(unsigned char seed) {
    Ticket ticket{};
    for (std::size_t i = 0; i < ticket.size(); ++i)
        ticket[i] = static_cast<unsigned char>(seed + i);
    return ticket;
}

Bytes world_entry_reply(const Ticket& ticket, int port, bool secure, const std::string& host,
                        std::int32_t value) {
    PacketWriter reply;
    reply.append_byte(2);
    reply.append_byte(0);
    reply.append_raw(ticket.data(), ticket.size());
    const unsigned char address[4] = {127, 0, 0, 1};
    reply.append_raw(address, sizeof address);
    reply.append_uint16(static_cast<std::uint16_t>(port));
    reply.append_string(host);
    reply.append_byte(secure ? 1 : 0);
    reply.append_int32(value);
    return body_of(reply);
}

Bytes world_opening(ServerConnection& connection, bool secure, std::uint8_t status,
                    const CertAndKey& identity) {
    if (secure) {
        const Bytes request = connection.read_frame();
        if (request != Bytes{39}) throw ScriptError("expected the secure-channel request");
        connection.write_frame({39, status});
        if (status != 0) return {};
        if (connection.start_tls(identity, TlsVersions::kBoth) != 0) return {};
    }
    return connection.read_frame();
}

}  // namespace kivsdk::test
