// SPDX-License-Identifier: GPL-3.0-or-later
#include <map>

#include <QtTest>

#include "protocol/codec.h"
#include "protocol/transferarea.h"

using namespace protocol;
using Bytes = std::vector<std::uint8_t>;
Q_DECLARE_METATYPE(Bytes)
Q_DECLARE_METATYPE(protocol::DecodeError)

namespace {

Bytes hex(const char *text)
{
    Bytes out;
    const QList<QByteArray> parts = QByteArray(text).simplified().split(' ');
    for (const QByteArray &p : parts) {
        if (p.isEmpty())
            continue;
        // "8x81" repeats a byte.
        const int times = p.contains('x') ? p.left(p.indexOf('x')).toInt() : 1;
        const QByteArray value = p.contains('x') ? p.mid(p.indexOf('x') + 1) : p;
        out.insert(out.end(), static_cast<std::size_t>(times), static_cast<std::uint8_t>(value.toUInt(nullptr, 16)));
    }
    return out;
}

Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<Frame> decodeAll(const Bytes &bytes, bool byteByByte)
{
    FrameDecoder decoder;
    std::vector<Frame> frames;
    Frame f;
    if (byteByByte) {
        for (std::uint8_t b : bytes) {
            decoder.feed(&b, 1);
            while (decoder.next(f))
                frames.push_back(f);
        }
    } else {
        decoder.feed(bytes.data(), bytes.size());
        while (decoder.next(f))
            frames.push_back(f);
    }
    return frames;
}

const char *kEcho = "02 55 00 1C 02 00 00 00 01 00 00 00 01 00 00 00 01 00 00 00 01 00 00 00 00 00 00 00 01 02 03 04 FF D4 03";
const char *kReply101Empty = "02 55 00 14 02 00 00 00 02 00 00 00 01 00 01 00 65 00 00 00 00 00 00 00 FF 81 03";
const char *kReply101Echo = "02 55 00 1C 02 00 00 00 02 00 00 00 01 00 01 00 65 00 00 00 01 00 00 00 00 00 00 00 01 02 03 04 FF 6E 03";
const char *kInfo = "02 55 00 18 02 00 00 00 01 00 00 00 04 00 01 00 06 00 00 00 01 00 00 00 00 00 00 00 FF D9 03";
const char *kState = "02 55 00 18 02 00 00 00 01 00 00 00 05 00 01 00 07 00 00 00 01 00 00 00 00 00 00 00 FF D7 03";
const char *kReply105 = "02 55 00 18 02 00 00 00 02 00 00 00 02 00 01 00 69 00 00 00 01 00 00 00 00 00 00 00 FF 77 03";
const char *kConfig = "02 55 00 48 02 00 00 00 01 00 00 00 02 00 01 00 05 00 00 00 01 00 00 00 "
                      "00 00 00 00 01 01 01 01 8x81 36x00 FB A0 03";
const char *kExchange = "02 55 00 44 02 00 00 00 01 00 00 00 03 00 01 00 02 00 00 00 01 00 00 00 "
                        "00 00 00 00 8x00 4x00 00 02 00 00 00 00 00 01 00 00 00 00 00 00 00 00 8x00 8x00 FF AF 03";
const char *kReply102 = "02 55 00 48 02 00 00 00 02 00 00 00 03 00 01 00 66 00 00 00 01 00 00 00 "
                        "00 00 00 00 01 00 14x00 01 00 00 00 05 00 6x00 4x00 16x00 FF 42 03";

} // namespace

// The frame codec and the structure packing, bytes in and bytes out.
class TestCodec : public QObject {
    Q_OBJECT
private slots:
    void vectors_data();
    void vectors();
    void structuresOfVectors();
    void generatedVectors_data();
    void generatedVectors();
    void fieldOffsets_data();
    void fieldOffsets();
    void rejected_data();
    void rejected();
    void resync_data();
    void resync();
    void limits();
    void hostReads_data();
    void hostReads();
};

void TestCodec::vectors_data()
{
    QTest::addColumn<Bytes>("bytes");
    QTest::addColumn<uint>("command");
    QTest::addColumn<uint>("tid");
    QTest::addColumn<uint>("sid");
    QTest::addColumn<uint>("items");
    QTest::addColumn<int>("payloadSize");
    QTest::newRow("echo request") << hex(kEcho) << 1u << 1u << 0u << 1u << 8;
    QTest::newRow("empty 101") << hex(kReply101Empty) << 101u << 1u << 1u << 0u << 0;
    QTest::newRow("echoing 101") << hex(kReply101Echo) << 101u << 1u << 1u << 1u << 8;
    QTest::newRow("info request") << hex(kInfo) << 6u << 4u << 1u << 1u << 4;
    QTest::newRow("state request") << hex(kState) << 7u << 5u << 1u << 1u << 4;
    QTest::newRow("105") << hex(kReply105) << 105u << 2u << 1u << 1u << 4;
    QTest::newRow("config") << hex(kConfig) << 5u << 2u << 1u << 1u << 52;
    QTest::newRow("exchange") << hex(kExchange) << 2u << 3u << 1u << 1u << 48;
    QTest::newRow("102") << hex(kReply102) << 102u << 3u << 1u << 1u << 52;
}

void TestCodec::vectors()
{
    QFETCH(Bytes, bytes);
    QFETCH(uint, command);
    QFETCH(uint, tid);
    QFETCH(uint, sid);
    QFETCH(uint, items);
    QFETCH(int, payloadSize);
    for (bool byteByByte : {false, true}) {
        const std::vector<Frame> frames = decodeAll(bytes, byteByByte);
        QCOMPARE(frames.size(), std::size_t(1));
        const Frame &f = frames[0];
        QCOMPARE(f.command, command);
        QCOMPARE(uint(f.tid), tid);
        QCOMPARE(uint(f.sid), sid);
        QCOMPARE(f.items, items);
        QCOMPARE(int(f.payload.size()), payloadSize);
        QCOMPARE(encodeFrame(f), bytes);
    }
}

void TestCodec::structuresOfVectors()
{
    std::vector<Item> items;
    Frame f = decodeAll(hex(kConfig), false).at(0);
    QVERIFY(splitItems(f, kTaConfigSize, items));
    const TaConfig config = decodeTaConfig(items[0].data);
    QCOMPARE(config.motor, (std::array<std::uint8_t, 4>{1, 1, 1, 1}));
    QCOMPARE(config.input[7], std::uint8_t(0x81));

    f = decodeAll(hex(kExchange), false).at(0);
    QVERIFY(splitItems(f, kTaOutputSize, items));
    const TaOutput out = decodeTaOutput(items[0].data);
    QCOMPARE(out.duty[0], std::int16_t(512));
    QCOMPARE(out.duty[3], std::int16_t(256));

    f = decodeAll(hex(kReply102), false).at(0);
    QVERIFY(splitItems(f, kTaInputSize, items));
    const TaInput in = decodeTaInput(items[0].data);
    QCOMPARE(in.universal[0], std::int16_t(1));
    QCOMPARE(in.counterLevel[0], std::uint8_t(1));
    QCOMPARE(in.counter[0], std::int16_t(5));
    QVERIFY(!splitItems(f, kTaOutputSize, items));
}

// Frames built from structures must match the published bytes.
void TestCodec::generatedVectors_data()
{
    QTest::addColumn<Bytes>("generated");
    QTest::addColumn<Bytes>("expected");
    auto frame = [](std::uint32_t from, std::uint32_t to, std::uint16_t tid, std::uint32_t cmd, const Bytes &payload) {
        Frame f;
        f.from = from;
        f.to = to;
        f.tid = tid;
        f.sid = 1;
        f.command = cmd;
        f.items = 1;
        f.payload = payload;
        return encodeFrame(f);
    };
    Bytes p;
    TaConfig config;
    config.motor = {1, 1, 1, 1};
    config.input.fill(0x81);
    appendTa(p, 0, config);
    QTest::newRow("config") << frame(2, 1, 2, 5, p) << hex(kConfig);
    p.clear();
    TaOutput out;
    out.duty[0] = 512;
    out.duty[3] = 256;
    appendTa(p, 0, out);
    QTest::newRow("exchange") << frame(2, 1, 3, 2, p) << hex(kExchange);
    p.clear();
    TaInput in;
    in.universal[0] = 1;
    in.counterLevel[0] = 1;
    in.counter[0] = 5;
    appendTa(p, 0, in);
    QTest::newRow("102") << frame(2, 2, 3, 102, p) << hex(kReply102);
    p.clear();
    appendTa(p, 0, TaOutput{});
    const Bytes zero = frame(2, 1, 7, 2, p);
    QTest::newRow("zero exchange checksum") << Bytes(zero.end() - 3, zero.end()) << hex("FF AE 03");
    p.clear();
    TaInfo info;
    info.name = "ROBO TX-000";
    info.btAddress = "00:00:00:00:00:00";
    info.hardwareVersion = {0x43, 0, 0, 0};
    info.firmwareVersion = {0x00, 0x06, 0x01, 0x1E};
    info.taVersion = {0x01, 0x01, 0x01, 0x08};
    appendTa(p, 0, info);
    const Bytes info106 = frame(2, 2, 4, 106, p);
    QTest::newRow("106 size, length, checksum")
        << Bytes{std::uint8_t(info106.size()), info106[2], info106[3], info106[info106.size() - 3], info106[info106.size() - 2]}
        << Bytes{95, 0x00, 0x58, 0xF8, 0xA4};
    p.clear();
    appendTa(p, 0, TaState{});
    const Bytes state107 = frame(2, 2, 5, 107, p);
    QTest::newRow("107 size, length, checksum")
        << Bytes{std::uint8_t(state107.size()), state107[3], state107[state107.size() - 3], state107[state107.size() - 2]}
        << Bytes{55, 0x30, 0xFF, 0x5A};
}

void TestCodec::generatedVectors()
{
    QFETCH(Bytes, generated);
    QFETCH(Bytes, expected);
    QCOMPARE(generated, expected);
}

namespace {

// The five structures, one of which a row of fieldOffsets changes.
struct Structures {
    TaOutput out;
    TaInput in;
    TaConfig config;
    TaInfo info;
    TaState state;
};

enum class Structure { Output, Input, Config, Info, State };

struct FieldCase {
    const char *name;
    Structure structure;
    // After the 4-byte TA id.
    int offset;
    Bytes marker;
    // Sets the one field to the marker's value.
    void (*set)(Structures &);
};

const std::vector<FieldCase> &fieldCases()
{
    static const Bytes u16{0x34, 0x12}, u8{0xA5}, u32{0x21, 0x43, 0x65, 0x87};
    static const std::vector<FieldCase> cases = {
        {"output counter reset id C2", Structure::Output, 2, u16,
         [](Structures &s) { s.out.counterResetIds[1] = 0x1234; }},
        {"output master M3", Structure::Output, 10, u8, [](Structures &s) { s.out.master[2] = 0xA5; }},
        {"output duty O8", Structure::Output, 26, u16, [](Structures &s) { s.out.duty[7] = 0x1234; }},
        {"output distance M1", Structure::Output, 28, u16, [](Structures &s) { s.out.distance[0] = 0x1234; }},
        {"output motor-ex id M4", Structure::Output, 42, u16, [](Structures &s) { s.out.motorExIds[3] = 0x1234; }},
        {"input I8", Structure::Input, 14, u16, [](Structures &s) { s.in.universal[7] = 0x1234; }},
        {"input counter level C4", Structure::Input, 19, u8, [](Structures &s) { s.in.counterLevel[3] = 0xA5; }},
        {"input counter C2", Structure::Input, 22, u16, [](Structures &s) { s.in.counter[1] = 0x1234; }},
        {"input left button", Structure::Input, 28, u16, [](Structures &s) { s.in.buttonLeft = 0x1234; }},
        {"input right button", Structure::Input, 30, u16, [](Structures &s) { s.in.buttonRight = 0x1234; }},
        {"input reset ack C1", Structure::Input, 32, u16, [](Structures &s) { s.in.counterResetAck[0] = 0x1234; }},
        {"input motor ack M4", Structure::Input, 46, u16, [](Structures &s) { s.in.motorCmdAck[3] = 0x1234; }},
        {"config motor M4", Structure::Config, 3, u8, [](Structures &s) { s.config.motor[3] = 0xA5; }},
        {"config input I1", Structure::Config, 4, u8, [](Structures &s) { s.config.input[0] = 0xA5; }},
        {"config counter mode C4", Structure::Config, 15, u8, [](Structures &s) { s.config.counterMode[3] = 0xA5; }},
        {"info TA start", Structure::Info, 36, u32, [](Structures &s) { s.info.taStart = 0x87654321; }},
        {"info hardware version", Structure::Info, 48, u32,
         [](Structures &s) { s.info.hardwareVersion = {0x21, 0x43, 0x65, 0x87}; }},
        {"info firmware version", Structure::Info, 52, u32,
         [](Structures &s) { s.info.firmwareVersion = {0x21, 0x43, 0x65, 0x87}; }},
        {"info TA version", Structure::Info, 56, u32,
         [](Structures &s) { s.info.taVersion = {0x21, 0x43, 0x65, 0x87}; }},
        {"state extension 8", Structure::State, 7, u8, [](Structures &s) { s.state.extension[7] = 0xA5; }},
        {"state bluetooth 1", Structure::State, 8, u8, [](Structures &s) { s.state.btChannel[0] = 0xA5; }},
        {"output duty -1", Structure::Output, 16, Bytes{0xFF, 0xFF}, [](Structures &s) { s.out.duty[2] = -1; }},
    };
    return cases;
}

} // namespace

// One field set to a marker value must land at exactly its offset (after
// the 4-byte TA id) and decode back.
void TestCodec::fieldOffsets_data()
{
    QTest::addColumn<int>("field");
    for (std::size_t i = 0; i < fieldCases().size(); ++i)
        QTest::newRow(fieldCases()[i].name) << int(i);
}

void TestCodec::fieldOffsets()
{
    QFETCH(int, field);
    const FieldCase &c = fieldCases()[static_cast<std::size_t>(field)];
    Structures s;
    c.set(s);
    Bytes payload;
    std::size_t size = 0;
    switch (c.structure) {
    case Structure::Output:
        appendTa(payload, 7, s.out);
        size = kTaOutputSize;
        break;
    case Structure::Input:
        appendTa(payload, 7, s.in);
        size = kTaInputSize;
        break;
    case Structure::Config:
        appendTa(payload, 7, s.config);
        size = kTaConfigSize;
        break;
    case Structure::Info:
        appendTa(payload, 7, s.info);
        size = kTaInfoSize;
        break;
    case Structure::State:
        appendTa(payload, 7, s.state);
        size = kTaStateSize;
        break;
    }
    QCOMPARE(payload.size(), kTaIdSize + size);
    QCOMPARE(getU32(payload.data()), 7u);
    Bytes expected(size, 0);
    std::copy(c.marker.begin(), c.marker.end(), expected.begin() + c.offset);
    QCOMPARE(Bytes(payload.begin() + kTaIdSize, payload.end()), expected);

    // Decoding and packing again gives the same bytes.
    const std::uint8_t *data = payload.data() + kTaIdSize;
    Bytes again;
    switch (c.structure) {
    case Structure::Output: {
        const TaOutput decoded = decodeTaOutput(data);
        // A negative duty decodes as one.
        if (c.marker == Bytes{0xFF, 0xFF})
            QCOMPARE(decoded.duty[2], std::int16_t(-1));
        appendTa(again, 7, decoded);
        break;
    }
    case Structure::Input:
        appendTa(again, 7, decodeTaInput(data));
        break;
    case Structure::Config:
        appendTa(again, 7, decodeTaConfig(data));
        break;
    case Structure::Info:
        appendTa(again, 7, decodeTaInfo(data));
        break;
    case Structure::State:
        appendTa(again, 7, decodeTaState(data));
        break;
    }
    QCOMPARE(again, payload);
}

void TestCodec::rejected_data()
{
    QTest::addColumn<Bytes>("bytes");
    QTest::addColumn<protocol::DecodeError>("error");
    const Bytes echo = hex(kEcho);
    QTest::newRow("truncated") << Bytes(echo.begin(), echo.end() - 1) << DecodeError::None;
    Bytes noEtx = echo;
    noEtx.back() = 0x04;
    QTest::newRow("missing ETX") << noEtx << DecodeError::MissingEtx;
    Bytes badSum = echo;
    badSum[badSum.size() - 2] ^= 0x01;
    QTest::newRow("bad checksum") << badSum << DecodeError::BadChecksum;
    Bytes payloadFlip = echo;
    payloadFlip[30] ^= 0x10;
    QTest::newRow("payload changed") << payloadFlip << DecodeError::BadChecksum;
    // L = 19 with a self-consistent checksum would still be refused.
    QTest::newRow("L below 20") << hex("02 55 00 13") + Bytes(30, 0) << DecodeError::BadLength;
    QTest::newRow("L above 1024") << hex("02 55 04 01") + Bytes(1040, 0) << DecodeError::BadLength;
    QTest::newRow("bad magic") << hex("02 56 00 14") + Bytes(30, 0) << DecodeError::BadMagic;
    Bytes littleEndianLength = echo;
    std::swap(littleEndianLength[2], littleEndianLength[3]);
    QTest::newRow("length little-endian") << littleEndianLength << DecodeError::BadLength;
}

void TestCodec::rejected()
{
    QFETCH(Bytes, bytes);
    QFETCH(protocol::DecodeError, error);
    // The reasons as a trace sees them.
    std::map<DecodeError, std::size_t> rejected;
    FrameDecoder decoder;
    decoder.setRejectObserver([&rejected](DecodeError e, const std::uint8_t *, std::size_t) { ++rejected[e]; });
    decoder.feed(bytes.data(), bytes.size());
    Frame frame;
    QVERIFY(!decoder.next(frame));
    for (DecodeError e : {DecodeError::MissingEtx, DecodeError::BadChecksum, DecodeError::BadLength}) {
        // STX bytes inside the dropped frame may add BadMagic; the reason for
        // the frame itself must be the expected one.
        QCOMPARE(rejected[e], std::size_t(e == error ? 1 : 0));
    }
    if (error == DecodeError::BadMagic)
        QVERIFY(rejected[DecodeError::BadMagic] >= 1);
}

void TestCodec::resync_data()
{
    QTest::addColumn<Bytes>("bytes");
    QTest::addColumn<int>("frames");
    QTest::addColumn<Bytes>("firstPayload");
    const Bytes echo = hex(kEcho);
    const Bytes echoPayload = hex("00 00 00 00 01 02 03 04");
    const std::string console = "\r\nROBO TX-000/USB>get_ser_num\r\n0000000001\r\n";
    QTest::newRow("console text first") << Bytes(console.begin(), console.end()) + echo << 1 << echoPayload;
    QTest::newRow("lone STX first") << hex("02") + echo << 1 << echoPayload;
    QTest::newRow("STX magic and bad length first") << hex("02 55 FF FF") + echo << 1 << echoPayload;
    Bytes corrupt = echo;
    corrupt[corrupt.size() - 2] ^= 0x55;
    QTest::newRow("right after a corrupt frame") << corrupt + echo << 1 << echoPayload;
    // A header whose length swallows the real frame: found once the bogus
    // frame fails, by rescanning from the byte after its STX.
    QTest::newRow("inside a bogus frame") << hex("02 55 00 30") + echo + Bytes(24, 0) << 1 << echoPayload;
    QTest::newRow("trailing bytes") << echo + hex("00 02 55 00") << 1 << echoPayload;
    QTest::newRow("two frames back to back") << echo + hex(kReply101Empty) << 2 << echoPayload;
    // Framing bytes inside a payload do not split the frame.
    Frame inner;
    inner.command = 2;
    inner.items = 1;
    inner.payload = hex("00 00 00 00 02 55 00 14 03 02 55 00 18 03 11 13 0D 03");
    QTest::newRow("02 55 .. 03 in payload") << encodeFrame(inner) << 1 << inner.payload;
}

void TestCodec::resync()
{
    QFETCH(Bytes, bytes);
    QFETCH(int, frames);
    QFETCH(Bytes, firstPayload);
    for (bool byteByByte : {false, true}) {
        const std::vector<Frame> found = decodeAll(bytes, byteByByte);
        QCOMPARE(int(found.size()), frames);
        QCOMPARE(found[0].payload, firstPayload);
    }
}

void TestCodec::limits()
{
    Frame f;
    f.payload.assign(kMaxPayload, 0x02);
    const Bytes largest = encodeFrame(f);
    QCOMPARE(largest.size(), std::size_t(kMaxLength) + kFrameOverhead);
    QCOMPARE(decodeAll(largest, false).size(), std::size_t(1));
    f.payload.push_back(0);
    QVERIFY(encodeFrame(f).empty());
}

// What the library takes from information and state replies, and what it
// refuses to take from malformed ones.
void TestCodec::hostReads_data()
{
    QTest::addColumn<uint>("items");
    QTest::addColumn<Bytes>("payload");
    QTest::addColumn<bool>("infoRead");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("stateRead");
    QTest::addColumn<uint>("online");

    TaState state;
    state.extension = {1, 2, 1, 0, 0, 0, 0, 1};
    Bytes statePayload;
    appendTa(statePayload, 0, state);
    TaInfo info;
    info.name = "ROBO TX-123";
    Bytes infoPayload;
    appendTa(infoPayload, 0, info);
    // Only the value 1 means online; bit k-1 stands for extension k.
    QTest::newRow("state") << 1u << statePayload << false << QString() << true << 0x85u;
    QTest::newRow("state, one byte short") << 1u << Bytes(statePayload.begin(), statePayload.end() - 1) << false
                                           << QString() << false << 0xFFFFu;
    QTest::newRow("state, no item") << 0u << Bytes() << false << QString() << false << 0xFFFFu;
    QTest::newRow("state, item count too high") << 2u << statePayload << false << QString() << false << 0xFFFFu;
    QTest::newRow("info") << 1u << infoPayload << true << "ROBO TX-123" << false << 0xFFFFu;
    QTest::newRow("info, two items") << 2u << infoPayload + infoPayload << true << "ROBO TX-123" << false << 0xFFFFu;
    QTest::newRow("info, one byte long") << 1u << infoPayload + Bytes{0} << false << QString() << false << 0xFFFFu;
    Bytes unterminated = infoPayload;
    std::fill(unterminated.begin() + kTaIdSize, unterminated.begin() + kTaIdSize + 17, 'A');
    QTest::newRow("info, name without its zero") << 1u << unterminated << true << QString(17, 'A') << false << 0xFFFFu;
}

void TestCodec::hostReads()
{
    QFETCH(uint, items);
    QFETCH(Bytes, payload);
    QFETCH(bool, infoRead);
    QFETCH(QString, name);
    QFETCH(bool, stateRead);
    QFETCH(uint, online);
    Frame reply;
    reply.items = items;
    reply.payload = payload;
    TaInfo info;
    info.name = "untouched";
    QCOMPARE(readInfo(reply, info), infoRead);
    QCOMPARE(QString::fromStdString(info.name), infoRead ? name : QStringLiteral("untouched"));
    unsigned mask = 0xFFFF;
    QCOMPARE(readOnlineExtensions(reply, mask), stateRead);
    QCOMPARE(mask, online);
}

QTEST_APPLESS_MAIN(TestCodec)
#include "tst_codec.moc"
