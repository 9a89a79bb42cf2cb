// The socket.io v2 / Engine.IO 3 wire codec on hand-written frames, grouped
// by packet type.
#include <gtest/gtest.h>

#include <string>

#include "car/sio/packet.h"

using sio::EngineType;
using sio::Message;
using sio::PacketType;
using sio::ProtocolError;

namespace {

std::string nested_arrays(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

}  // namespace

TEST(EngineFrame, SplitsTypeDigitFromData) {
    const auto open = sio::decode_engine_frame("0{\"sid\":\"x\"}");
    EXPECT_EQ(open.type, EngineType::Open);
    EXPECT_EQ(open.data, "{\"sid\":\"x\"}");
    EXPECT_EQ(sio::decode_engine_frame("1").type, EngineType::Close);
    EXPECT_EQ(sio::decode_engine_frame("2probe").type, EngineType::Ping);
    EXPECT_EQ(sio::decode_engine_frame("2probe").data, "probe");
    EXPECT_EQ(sio::decode_engine_frame("3").type, EngineType::Pong);
    EXPECT_EQ(sio::decode_engine_frame("42[\"a\"]").type, EngineType::Message);
    EXPECT_EQ(sio::decode_engine_frame("42[\"a\"]").data, "2[\"a\"]");
    EXPECT_EQ(sio::decode_engine_frame("5").type, EngineType::Upgrade);
    EXPECT_EQ(sio::decode_engine_frame("6").type, EngineType::Noop);
}

TEST(EngineFrame, RejectsEmptyAndUnknownTypes) {
    EXPECT_THROW(sio::decode_engine_frame(""), ProtocolError);
    EXPECT_THROW(sio::decode_engine_frame("7"), ProtocolError);
    EXPECT_THROW(sio::decode_engine_frame("x42"), ProtocolError);
    EXPECT_THROW(sio::decode_engine_frame("/"), ProtocolError);
}

TEST(OpenPacket, ReadsSessionIdAndPingFigures) {
    const auto h = sio::decode_handshake(
        R"({"sid":"DN2jwJj9y4R2M7X9AAAA","upgrades":[],"pingInterval":25000,"pingTimeout":20000})");
    EXPECT_EQ(h.sid, "DN2jwJj9y4R2M7X9AAAA");
    EXPECT_EQ(h.ping_interval.count(), 25000);
    EXPECT_EQ(h.ping_timeout.count(), 20000);
}

TEST(OpenPacket, BoundsAbsurdPingFiguresInsteadOfBusyLooping) {
    const auto h = sio::decode_handshake(R"({"sid":"s","pingInterval":0,"pingTimeout":1e300})");
    EXPECT_EQ(h.ping_interval, sio::kMinPingPeriod);
    EXPECT_EQ(h.ping_timeout, sio::kMaxPingPeriod);
    EXPECT_EQ(sio::decode_handshake(R"({"sid":"s","pingInterval":-5,"pingTimeout":2500.7})").ping_timeout.count(),
              2500);
}

TEST(OpenPacket, RejectsPacketsWithoutTheNeededMembers) {
    EXPECT_THROW(sio::decode_handshake(R"({"pingInterval":1,"pingTimeout":1})"), ProtocolError);
    EXPECT_THROW(sio::decode_handshake(R"({"sid":"","pingInterval":1,"pingTimeout":1})"), ProtocolError);
    EXPECT_THROW(sio::decode_handshake(R"({"sid":5,"pingInterval":1,"pingTimeout":1})"), ProtocolError);
    EXPECT_THROW(sio::decode_handshake(R"({"sid":"s","pingTimeout":1})"), ProtocolError);
    EXPECT_THROW(sio::decode_handshake(R"({"sid":"s","pingInterval":"25000","pingTimeout":1})"), ProtocolError);
    EXPECT_THROW(sio::decode_handshake(R"(["sid"])"), ProtocolError);
    EXPECT_THROW(sio::decode_handshake(R"({"sid":"s")"), ProtocolError);
}

TEST(ConnectPacket, DefaultAndNamedNamespaces) {
    const auto root = sio::decode_packet("0");
    EXPECT_EQ(root.type, PacketType::Connect);
    EXPECT_EQ(root.nsp, "/");
    EXPECT_FALSE(root.data.has_value());
    EXPECT_EQ(sio::decode_packet("0/admin,").nsp, "/admin");
    EXPECT_EQ(sio::decode_packet("0/admin").nsp, "/admin");
}

TEST(DisconnectPacket, CarriesNoPayload) {
    const auto p = sio::decode_packet("1");
    EXPECT_EQ(p.type, PacketType::Disconnect);
    EXPECT_EQ(p.nsp, "/");
    EXPECT_FALSE(p.data.has_value());
    EXPECT_FALSE(p.id.has_value());
}

TEST(EventPacket, NamespaceAckIdAndArguments) {
    const auto p = sio::decode_packet(R"(2/admin,456["project:delete",123])");
    EXPECT_EQ(p.type, PacketType::Event);
    EXPECT_EQ(p.nsp, "/admin");
    ASSERT_TRUE(p.id.has_value());
    EXPECT_EQ(*p.id, 456u);
    EXPECT_EQ(*p.data, Message::parse(R"(["project:delete",123])"));
}

TEST(EventPacket, AckIdZeroOnTheDefaultNamespace) {
    const auto p = sio::decode_packet(R"(20["ev"])");
    ASSERT_TRUE(p.id.has_value());
    EXPECT_EQ(*p.id, 0u);
    EXPECT_EQ(p.nsp, "/");
}

TEST(EventPacket, BecomesAnEventWithItsArguments) {
    const auto none = sio::event_from_packet(sio::decode_packet(R"(2["ev"])"));
    EXPECT_EQ(none.name, "ev");
    EXPECT_TRUE(none.args.empty());
    EXPECT_FALSE(none.ack_id.has_value());

    const auto several = sio::event_from_packet(sio::decode_packet(R"(27["ev",1,"a",{"k":true},2.5,null])"));
    EXPECT_EQ(several.name, "ev");
    ASSERT_EQ(several.args.size(), 5u);
    EXPECT_EQ(several.args[0], 1);
    EXPECT_EQ(several.args[1], "a");
    EXPECT_EQ(several.args[2], Message::parse(R"({"k":true})"));
    EXPECT_EQ(sio::kind_of(several.args[3]), sio::Kind::Double);
    EXPECT_TRUE(several.args[4].is_null());
    EXPECT_EQ(several.ack_id, 7u);
}

TEST(EventPacket, RefusesEventsWithoutAName) {
    EXPECT_THROW(sio::event_from_packet(sio::decode_packet("2")), ProtocolError);
    EXPECT_THROW(sio::event_from_packet(sio::decode_packet("2[]")), ProtocolError);
    EXPECT_THROW(sio::event_from_packet(sio::decode_packet("2[1,2]")), ProtocolError);
    EXPECT_THROW(sio::event_from_packet(sio::decode_packet(R"(2{"a":1})")), ProtocolError);
    EXPECT_THROW(sio::event_from_packet(sio::decode_packet(R"(2"ev")")), ProtocolError);
}

TEST(AckPacket, NamespaceAndId) {
    const auto p = sio::decode_packet("3/admin,456[]");
    EXPECT_EQ(p.type, PacketType::Ack);
    EXPECT_EQ(p.nsp, "/admin");
    EXPECT_EQ(p.id, 456u);
    EXPECT_EQ(*p.data, Message::array());
}

TEST(ErrorPacket, CarriesAnyJsonValue) {
    const auto text = sio::decode_packet(R"(4/admin,"Not authorized")");
    EXPECT_EQ(text.type, PacketType::Error);
    EXPECT_EQ(text.nsp, "/admin");
    EXPECT_EQ(*text.data, "Not authorized");
    EXPECT_EQ(*sio::decode_packet(R"(4{"message":"no","code":3})").data, Message::parse(R"({"code":3,"message":"no"})"));
    EXPECT_FALSE(sio::decode_packet("4").data.has_value());
}

TEST(BinaryEventPacket, AttachmentCountBeforeNamespace) {
    const auto p = sio::decode_packet(R"(51-["hello",{"_placeholder":true,"num":0}])");
    EXPECT_EQ(p.type, PacketType::BinaryEvent);
    EXPECT_EQ(p.attachments, 1u);
    EXPECT_EQ(p.nsp, "/");

    const auto with_nsp = sio::decode_packet(R"(512-/admin,9["x",{"_placeholder":true,"num":11}])");
    EXPECT_EQ(with_nsp.attachments, 12u);
    EXPECT_EQ(with_nsp.nsp, "/admin");
    EXPECT_EQ(with_nsp.id, 9u);
}

TEST(BinaryAckPacket, AttachmentsNamespaceAndId) {
    const auto p = sio::decode_packet(R"(61-/admin,456[{"_placeholder":true,"num":0}])");
    EXPECT_EQ(p.type, PacketType::BinaryAck);
    EXPECT_EQ(p.attachments, 1u);
    EXPECT_EQ(p.nsp, "/admin");
    EXPECT_EQ(p.id, 456u);
}

TEST(BinaryEventPacket, PlaceholdersAnywhereBecomeBinaryValues) {
    auto p = sio::decode_packet(
        R"(52-["photo",{"label":"a","parts":[1,{"data":{"_placeholder":true,"num":1}}],"more":{"_placeholder":true,"num":0}}])");
    sio::fill_placeholders(*p.data, {std::string("\x01\x02", 2), std::string("\xff\x00\x7f", 3)});
    const auto event = sio::event_from_packet(std::move(p));
    ASSERT_EQ(event.args.size(), 1u);
    const Message& arg = event.args[0];
    EXPECT_EQ(sio::kind_of(arg["more"]), sio::Kind::Binary);
    EXPECT_EQ(arg["more"].get_binary(), (std::vector<std::uint8_t>{1, 2}));
    EXPECT_EQ(arg["parts"][1]["data"].get_binary(), (std::vector<std::uint8_t>{0xff, 0x00, 0x7f}));
    EXPECT_EQ(arg["label"], "a");
}

TEST(BinaryEventPacket, PlaceholdersThatPointNowhereAreRefused) {
    Message out_of_range = Message::parse(R"(["x",{"_placeholder":true,"num":1}])");
    EXPECT_THROW(sio::fill_placeholders(out_of_range, {"a"}), ProtocolError);
    Message negative = Message::parse(R"(["x",{"_placeholder":true,"num":-1}])");
    EXPECT_THROW(sio::fill_placeholders(negative, {"a"}), ProtocolError);
    Message no_number = Message::parse(R"(["x",{"_placeholder":true}])");
    EXPECT_THROW(sio::fill_placeholders(no_number, {"a"}), ProtocolError);
    Message text_number = Message::parse(R"(["x",{"_placeholder":true,"num":"0"}])");
    EXPECT_THROW(sio::fill_placeholders(text_number, {"a"}), ProtocolError);
}

TEST(BinaryEventPacket, ObjectsThatOnlyLookLikePlaceholdersStay) {
    Message data = Message::parse(R"(["x",{"_placeholder":false,"num":0},{"_placeholder":"true","num":0}])");
    const Message before = data;
    sio::fill_placeholders(data, {"a"});
    EXPECT_EQ(data, before);
}

TEST(BinaryAttachment, LeadingMessageTypeByteIsStripped) {
    EXPECT_EQ(sio::attachment_payload(std::string("\x04\x01\x02\x03", 4)), std::string("\x01\x02\x03", 3));
    EXPECT_EQ(sio::attachment_payload(std::string("\x04", 1)), "");
    EXPECT_THROW(sio::attachment_payload(std::string("\x01\x02\x03", 3)), ProtocolError);
    EXPECT_THROW(sio::attachment_payload(""), ProtocolError);
}

TEST(MalformedPacket, IsRefusedWithAReason) {
    EXPECT_THROW(sio::decode_packet(""), ProtocolError);
    EXPECT_THROW(sio::decode_packet("7"), ProtocolError);
    EXPECT_THROW(sio::decode_packet("a"), ProtocolError);
    EXPECT_THROW(sio::decode_packet("2[\"ev\""), ProtocolError);
    EXPECT_THROW(sio::decode_packet("2[\"ev\"] trailing"), ProtocolError);
    EXPECT_THROW(sio::decode_packet("2{'a':1}"), ProtocolError);
    // Binary packets need "<count>-".
    EXPECT_THROW(sio::decode_packet(R"(5["x"])"), ProtocolError);
    EXPECT_THROW(sio::decode_packet(R"(51["x"])"), ProtocolError);
    EXPECT_THROW(sio::decode_packet("5-[\"x\"]"), ProtocolError);
    // An attachment count or ack id too large to be real.
    EXPECT_THROW(sio::decode_packet(R"(51000000-["x"])"), ProtocolError);
    EXPECT_THROW(sio::decode_packet(R"(599999999999-["x"])"), ProtocolError);
    EXPECT_THROW(sio::decode_packet(R"(2123456789012345678901["x"])"), ProtocolError);
}

TEST(MalformedPacket, DeepNestingIsRefusedWithoutExhaustingTheStack) {
    EXPECT_NO_THROW(sio::decode_packet("2[\"ev\"," + nested_arrays(sio::kDefaultMaxDepth - 1) + "]"));
    EXPECT_THROW(sio::decode_packet("2[\"ev\"," + nested_arrays(sio::kDefaultMaxDepth) + "]"), ProtocolError);
    EXPECT_THROW(sio::decode_packet("2" + nested_arrays(1000000)), ProtocolError);
    EXPECT_THROW(sio::decode_packet("2" + std::string(1000000, '[')), ProtocolError);
}

TEST(MalformedPacket, InvalidUtf8InsideAStringIsRefused) {
    EXPECT_THROW(sio::decode_packet("2[\"ev\",\"\xc3\x28\"]"), ProtocolError);
}

TEST(EventEncoding, OneStringArgumentHoldingTheJsonText) {
    EXPECT_EQ(sio::encode_event("uav_mission_status", R"({"a":1})"), R"(42["uav_mission_status","{\"a\":1}"])");
    EXPECT_EQ(sio::encode_event("ev", ""), R"(42["ev",""])");
}

TEST(EventEncoding, KeepsUtf8AndEscapesControlCharacters) {
    EXPECT_EQ(sio::encode_event("ev", "h\xc3\xa9llo \xe4\xb8\xad\n\\"), "42[\"ev\",\"h\xc3\xa9llo \xe4\xb8\xad\\n\\\\\"]");
}

TEST(EventEncoding, ReplacesInvalidUtf8InsteadOfThrowing) {
    std::string frame;
    EXPECT_NO_THROW(frame = sio::encode_event("ev", "bad \xff byte"));
    EXPECT_EQ(frame, "42[\"ev\",\"bad \xef\xbf\xbd byte\"]");
}

TEST(AckEncoding, EmptyArgumentList) {
    EXPECT_EQ(sio::encode_ack(0), "430[]");
    EXPECT_EQ(sio::encode_ack(456), "43456[]");
}
