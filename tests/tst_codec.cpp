// SPDX-License-Identifier: GPL-3.0-or-later
#include <map>

#include <QtTest>

#include "protocol/codec.h"
#include "protocol/transferarea.h"
#include "protocol/txt.h"

using namespace protocol;
using Bytes = std::vector<std::uint8_t>;
using Words = std::vector<std::uint16_t>;
Q_DECLARE_METATYPE(Bytes)
Q_DECLARE_METATYPE(Words)
Q_DECLARE_METATYPE(protocol::DecodeError)
Q_DECLARE_METATYPE(protocol::txt::Framing)
Q_DECLARE_METATYPE(protocol::txt::CmprError)

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
    void txtFraming_data();
    void txtFraming();
    void txtDecoding_data();
    void txtDecoding();
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

namespace {

Bytes u32Bytes(std::uint32_t value)
{
    Bytes out;
    putU32(out, value);
    return out;
}

// The words of a master-only command with the given duties.
Words dutyWords(std::array<std::int16_t, 8> duty)
{
    txt::Outputs out;
    out.duty = duty;
    return txt::outputWords(out);
}

// The TXT's packets and compressed codes, from the published vectors and
// from the codes' definitions worked out by hand.
void addTxtVectors()
{
    QTest::newRow("TXT QueryStatus") << txt::queryStatus() << hex("9A 21 21 DC");
    QTest::newRow("TXT StopOnline") << txt::stopOnline() << hex("2C 08 E5 9B");
    QTest::newRow("TXT UpdateConfig reply") << txt::idOnly(txt::kUpdateConfigReply) << hex("8C A6 89 96");
    QTest::newRow("TXT StartOnline") << txt::startOnline() << hex("1D F6 3F 16 4F 6E 6C 69 6E 65 58x00");
    txt::Config config;
    config.configId = 1;
    QTest::newRow("TXT first UpdateConfig")
        << txt::updateConfig(config)
        << hex("7E F2 0E 06 01 00 00 00 00 00 00 00 01 01 01 01 01 01 00 00 01 01 00 00 01 01 00 00 01 01 00 00 "
               "01 01 00 00 01 01 00 00 01 01 00 00 01 01 00 00 01 00 00 00 01 00 00 00 01 00 00 00 01 00 00 00 32x00");
    QTest::newRow("TXT zero ExchangeData") << txt::exchange(txt::Outputs{}) << hex("BA 97 35 CC 56x00");
    const std::string version = txt::versionText(0x04060600);
    QTest::newRow("TXT version 4.6.6") << Bytes(version.begin(), version.end()) << Bytes{'4', '.', '6', '.', '6'};
    const std::string check = "123456789";
    QTest::newRow("CRC-32/MPEG-2 check value")
        << u32Bytes(txt::bytesCrc(reinterpret_cast<const std::uint8_t *>(check.data()), check.size()))
        << u32Bytes(0x0376E6E7);
    for (const auto &[count, crc] : {std::pair<std::size_t, std::uint32_t>{27, 0x40493A53}, {54, 0x3040C10F},
                                     {52, 0x0BBF0714}, {104, 0x628EBB05}}) {
        const Words zeros(count, 0);
        QTest::newRow(qPrintable(QString("CRC of %1 zero words").arg(count)))
            << u32Bytes(txt::wordsCrc(zeros.data(), zeros.size())) << u32Bytes(crc);
    }
    // One host's commands after StartOnline, each against the one before.
    txt::WordStream sent;
    txt::Outputs out;
    out.duty[0] = 512;
    QTest::newRow("first compressed command, whole") << txt::compressedExchange(sent, {out}, 0)
        << hex("98 6F C5 FB 05 00 00 00 C5 6C FF 41 00 00 00 00 03 08 F4 1B 00");
    const char *next[] = {"05 00 00 00 47 7F 15 14 00 00 00 00 CE 12 D0 5F 00", "02 00 00 00 47 7F 15 14 00 00 00 00 FD 07",
                          "05 00 00 00 A6 3F B9 5B 00 00 00 00 1C 00 D0 5F 00"};
    const char *names[] = {"O1 0, O2 300", "nothing changed", "O2 300 -> 1 is a literal"};
    const Words steps[] = {dutyWords({0, 300}), dutyWords({0, 300}), dutyWords({0, 1})};
    for (int i = 0; i < 3; ++i) {
        out = txt::outputsFromWords(steps[i].data());
        QTest::newRow(names[i]) << txt::compressedExchange(sent, {out}, 0) << hex("98 6F C5 FB") + hex(next[i]);
    }
}

// Runs, toggles and literals, and the packets whose words are all unchanged.
void addTxtCodeVectors()
{
    txt::WordStream fresh;
    QTest::newRow("54 unchanged words (with the extension)")
        << txt::compressedExchange(fresh, {txt::Outputs{}, txt::Outputs{}}, 1)
        << hex("98 6F C5 FB 02 00 00 00 0F C1 40 30 01 00 00 00 FD 22");
    fresh.reset();
    QTest::newRow("52 unchanged reply words") << txt::compressedReply(fresh, {txt::Inputs{}}, 0)
        << hex("E6 54 3B 6F 02 00 00 00 14 07 BF 0B 00 00 00 00 FD 20");
    fresh.reset();
    QTest::newRow("104 unchanged reply words") << txt::compressedReply(fresh, {txt::Inputs{}, txt::Inputs{}}, 1)
        << hex("E6 54 3B 6F 02 00 00 00 05 BB 8E 62 01 00 00 00 FD 54");
    QTest::newRow("blocks that do not match the mask") << txt::compressedExchange(fresh, {txt::Outputs{}}, 1) << Bytes{};
    // Runs of unchanged words at each length where the code changes; beyond
    // 275 + 4095 the code repeats.
    for (const auto &[run, coded] : {std::pair<std::size_t, const char *>{1, "00"}, {2, "01"}, {4, "09"}, {5, "0D"},
                                     {19, "ED"}, {20, "FD 00"}, {274, "FD FE"}, {275, "FD FF 00 00"},
                                     {4370, "FD FF FF 0F"}, {4371, "FD FF FF 0F 00"}, {4375, "FD FF FF 0F 0D"}}) {
        fresh.reset();
        QTest::newRow(qPrintable(QString("run of %1").arg(run))) << fresh.encode(Words(run, 0)) << hex(coded);
    }
    // Changes to 0 and 1 toggle only where a toggle lands on the value.
    for (const auto &[from, to, coded] : {std::tuple<std::uint16_t, std::uint16_t, const char *>{0, 1, "02"},
                                          {1, 0, "02"}, {300, 0, "02"}, {300, 1, "07 00 00"}, {0, 2, "0B 00 00"},
                                          {0, 0xFFFF, "FF FF 03"}}) {
        fresh.reset();
        fresh.encode({from});
        QTest::newRow(qPrintable(QString("%1 -> %2").arg(from).arg(to))) << fresh.encode({to}) << hex(coded);
    }
}

} // namespace

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
    addTxtVectors();
    addTxtCodeVectors();
}

void TestCodec::generatedVectors()
{
    QFETCH(Bytes, generated);
    QFETCH(Bytes, expected);
    QCOMPARE(generated, expected);
}

namespace {

txt::Config zeroTxtConfig()
{
    txt::Config c;
    c.motor = {};
    c.input.fill(txt::InputConfig{0, 0});
    c.counter = {};
    return c;
}

// The structures and packets, one of which a row of fieldOffsets changes;
// everything else is 0.
struct Structures {
    TaOutput out;
    TaInput in;
    TaConfig config;
    TaInfo info;
    TaState state;
    txt::Status status;
    txt::Config txtConfig = zeroTxtConfig();
    txt::Outputs txtOut;
    txt::Inputs txtIn;
};

enum class Structure { Output, Input, Config, Info, State, TxtStatus, TxtConfig, TxtExchange, TxtReply };

struct FieldCase {
    const char *name;
    Structure structure;
    // After the 4-byte TA id or packet id.
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
        // A name that fills its 16 bytes has no NUL; the version behind it stays apart.
        {"TXT status name of 16 bytes", Structure::TxtStatus, 0,
         Bytes{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P', 0x01, 0x00, 0x06, 0x04},
         [](Structures &s) {
             s.status.name = "ABCDEFGHIJKLMNOP";
             s.status.version = 0x04060001;
         }},
        {"TXT status version", Structure::TxtStatus, 16, Bytes{0x00, 0x06, 0x06, 0x04},
         [](Structures &s) { s.status.version = 0x04060600; }},
        {"TXT config id", Structure::TxtConfig, 0, u16, [](Structures &s) { s.txtConfig.configId = 0x1234; }},
        {"TXT config extension", Structure::TxtConfig, 2, u16, [](Structures &s) { s.txtConfig.extension = 0x1234; }},
        {"TXT config motor M4", Structure::TxtConfig, 11, u8, [](Structures &s) { s.txtConfig.motor[3] = 0xA5; }},
        {"TXT config input I1 digital", Structure::TxtConfig, 13, u8,
         [](Structures &s) { s.txtConfig.input[0].digital = 0xA5; }},
        {"TXT config input I8 mode", Structure::TxtConfig, 40, u8, [](Structures &s) { s.txtConfig.input[7].mode = 0xA5; }},
        {"TXT config counter C4", Structure::TxtConfig, 56, u8, [](Structures &s) { s.txtConfig.counter[3] = 0xA5; }},
        {"TXT exchange duty O1", Structure::TxtExchange, 0, u16, [](Structures &s) { s.txtOut.duty[0] = 0x1234; }},
        {"TXT exchange master M4", Structure::TxtExchange, 22, u16, [](Structures &s) { s.txtOut.master[3] = 0x1234; }},
        {"TXT exchange distance M1", Structure::TxtExchange, 24, u16, [](Structures &s) { s.txtOut.distance[0] = 0x1234; }},
        {"TXT exchange motor command id M2", Structure::TxtExchange, 34, u16,
         [](Structures &s) { s.txtOut.motorCommandId[1] = 0x1234; }},
        {"TXT exchange counter reset id C4", Structure::TxtExchange, 46, u16,
         [](Structures &s) { s.txtOut.counterResetId[3] = 0x1234; }},
        {"TXT exchange sound command id", Structure::TxtExchange, 48, u16,
         [](Structures &s) { s.txtOut.soundCommandId = 0x1234; }},
        {"TXT exchange sound repeat", Structure::TxtExchange, 52, u16, [](Structures &s) { s.txtOut.soundRepeat = 0x1234; }},
        {"TXT reply input I8", Structure::TxtReply, 14, u16, [](Structures &s) { s.txtIn.input[7] = 0x1234; }},
        {"TXT reply counter level C1", Structure::TxtReply, 16, u16, [](Structures &s) { s.txtIn.counterLevel[0] = 0x1234; }},
        {"TXT reply counter value C4", Structure::TxtReply, 30, u16, [](Structures &s) { s.txtIn.counterValue[3] = 0x1234; }},
        {"TXT reply reset ack C1", Structure::TxtReply, 32, u16, [](Structures &s) { s.txtIn.counterResetAck[0] = 0x1234; }},
        {"TXT reply motor ack M4", Structure::TxtReply, 46, u16, [](Structures &s) { s.txtIn.motorCommandAck[3] = 0x1234; }},
        {"TXT reply sound ack", Structure::TxtReply, 48, u16, [](Structures &s) { s.txtIn.soundAck = 0x1234; }},
        {"TXT reply IR 1 left X -15", Structure::TxtReply, 50, Bytes{0xF1}, [](Structures &s) { s.txtIn.ir[0].leftX = -15; }},
        {"TXT reply IR 5 right Y", Structure::TxtReply, 73, Bytes{0x0F}, [](Structures &s) { s.txtIn.ir[4].rightY = 15; }},
        {"TXT reply IR 5 bits", Structure::TxtReply, 74, Bytes{0x0A}, [](Structures &s) { s.txtIn.ir[4].bits = 0x0A; }},
    };
    return cases;
}

// The id in front and the size after it.
std::pair<std::uint32_t, std::size_t> idAndSize(Structure structure)
{
    switch (structure) {
    case Structure::Output:
        return {7, kTaOutputSize};
    case Structure::Input:
        return {7, kTaInputSize};
    case Structure::Config:
        return {7, kTaConfigSize};
    case Structure::Info:
        return {7, kTaInfoSize};
    case Structure::State:
        return {7, kTaStateSize};
    case Structure::TxtStatus:
        return {txt::kQueryStatusReply, txt::kStatusReplySize - txt::kIdSize};
    case Structure::TxtConfig:
        return {txt::kUpdateConfig, txt::kUpdateConfigSize - txt::kIdSize};
    case Structure::TxtExchange:
        return {txt::kExchangeData, txt::kExchangeSize - txt::kIdSize};
    case Structure::TxtReply:
        break;
    }
    return {txt::kExchangeDataReply, txt::kExchangeReplySize - txt::kIdSize};
}

// The structure behind its id: TA id 7 for the TX's, the packet id for the TXT's.
Bytes packed(Structure structure, const Structures &s)
{
    Bytes p;
    switch (structure) {
    case Structure::Output:
        appendTa(p, 7, s.out);
        break;
    case Structure::Input:
        appendTa(p, 7, s.in);
        break;
    case Structure::Config:
        appendTa(p, 7, s.config);
        break;
    case Structure::Info:
        appendTa(p, 7, s.info);
        break;
    case Structure::State:
        appendTa(p, 7, s.state);
        break;
    case Structure::TxtStatus:
        return txt::statusReply(s.status);
    case Structure::TxtConfig:
        return txt::updateConfig(s.txtConfig);
    case Structure::TxtExchange:
        return txt::exchange(s.txtOut);
    case Structure::TxtReply:
        return txt::exchangeReply(s.txtIn);
    }
    return p;
}

// `packet` decoded into `s`; false when the decoder refuses it.
bool unpacked(Structure structure, const Bytes &packet, Structures &s)
{
    const std::uint8_t *data = packet.data() + kTaIdSize;
    switch (structure) {
    case Structure::Output:
        s.out = decodeTaOutput(data);
        return true;
    case Structure::Input:
        s.in = decodeTaInput(data);
        return true;
    case Structure::Config:
        s.config = decodeTaConfig(data);
        return true;
    case Structure::Info:
        s.info = decodeTaInfo(data);
        return true;
    case Structure::State:
        s.state = decodeTaState(data);
        return true;
    case Structure::TxtStatus:
        return txt::readStatusReply(packet.data(), packet.size(), s.status);
    case Structure::TxtConfig:
        return txt::readUpdateConfig(packet.data(), packet.size(), s.txtConfig);
    case Structure::TxtExchange:
        return txt::readExchange(packet.data(), packet.size(), s.txtOut);
    case Structure::TxtReply:
        break;
    }
    return txt::readExchangeReply(packet.data(), packet.size(), s.txtIn);
}

} // namespace

// One field set to a marker value must land at exactly its offset (after
// the 4-byte id) and decode back; the TXT's padding and fillers stay 0.
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
    const Bytes payload = packed(c.structure, s);
    const auto [id, size] = idAndSize(c.structure);
    QCOMPARE(payload.size(), kTaIdSize + size);
    QCOMPARE(getU32(payload.data()), id);
    Bytes expected(size, 0);
    std::copy(c.marker.begin(), c.marker.end(), expected.begin() + c.offset);
    QCOMPARE(Bytes(payload.begin() + kTaIdSize, payload.end()), expected);

    // Decoding and packing again gives the same bytes.
    Structures decoded;
    QVERIFY(unpacked(c.structure, payload, decoded));
    // A negative duty decodes as one.
    if (c.marker == Bytes{0xFF, 0xFF})
        QCOMPARE(decoded.out.duty[2], std::int16_t(-1));
    QCOMPARE(decoded.status.name, s.status.name);
    QCOMPARE(decoded.status.version, s.status.version);
    QCOMPARE(packed(c.structure, decoded), payload);
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

namespace {

Bytes cmprPacket(std::uint32_t id, const Bytes &body, std::uint32_t crc, std::uint16_t mask, std::uint32_t extra)
{
    Bytes out;
    putU32(out, id);
    putU32(out, extra);
    putU32(out, crc);
    putU16(out, mask);
    putU16(out, 0);
    return out + body;
}

Bytes sized(Bytes bytes, std::size_t size)
{
    bytes.resize(size, 0);
    return bytes;
}

} // namespace

// Where a packet ends in a byte stream, by its id (and the compressed
// header's size), which reply answers it, and that the readers take exactly
// that many bytes.
void TestCodec::txtFraming_data()
{
    QTest::addColumn<Bytes>("bytes");
    QTest::addColumn<protocol::txt::Framing>("framing");
    QTest::addColumn<int>("length");
    QTest::addColumn<uint>("reply");
    QTest::addColumn<bool>("readable");
    using F = txt::Framing;
    const Bytes exchange = txt::exchange(txt::Outputs{}), reply = txt::exchangeReply(txt::Inputs{});
    const Bytes status = txt::statusReply(txt::Status{"TXT", 0x04070000});
    const Bytes config = txt::updateConfig(txt::Config{});
    QTest::newRow("nothing yet") << Bytes{} << F::NeedMore << 4 << 0u << false;
    QTest::newRow("three bytes of an id") << hex("9A 21 21") << F::NeedMore << 4 << 0u << false;
    QTest::newRow("QueryStatus") << txt::queryStatus() << F::Whole << 4 << txt::kQueryStatusReply << false;
    QTest::newRow("StartOnline, one byte short") << sized(txt::startOnline(), 67) << F::NeedMore << 68
                                                 << txt::kStartOnlineReply << false;
    QTest::newRow("UpdateConfig") << config << F::Whole << 96 << txt::kUpdateConfigReply << true;
    QTest::newRow("UpdateConfig, one byte short") << sized(config, 95) << F::NeedMore << 96 << txt::kUpdateConfigReply
                                                  << false;
    QTest::newRow("ExchangeData") << exchange << F::Whole << 60 << txt::kExchangeDataReply << true;
    QTest::newRow("ExchangeData, one byte long") << sized(exchange, 61) << F::Whole << 60 << txt::kExchangeDataReply
                                                 << false;
    QTest::newRow("StopOnline") << txt::stopOnline() << F::Whole << 4 << txt::kStopOnlineReply << false;
    QTest::newRow("status reply") << status << F::Whole << 24 << 0u << true;
    QTest::newRow("status reply, first 10 bytes") << sized(status, 10) << F::NeedMore << 24 << 0u << false;
    QTest::newRow("exchange reply") << reply << F::Whole << 80 << 0u << true;
    QTest::newRow("exchange reply, 79 bytes") << sized(reply, 79) << F::NeedMore << 80 << 0u << false;
    // Only the first may be taken.
    QTest::newRow("two exchange replies in one read") << reply + reply << F::Whole << 80 << 0u << false;
    QTest::newRow("short replies") << txt::idOnly(txt::kStartOnlineReply) + txt::idOnly(txt::kStopOnlineReply)
                                   << F::Whole << 4 << 0u << false;
    const Bytes first = hex("98 6F C5 FB 05 00 00 00 C5 6C FF 41 00 00 00 00 03 08 F4 1B 00");
    QTest::newRow("compressed command") << first << F::Whole << 21 << txt::kExchangeDataCmprReply << false;
    QTest::newRow("compressed header, 15 bytes") << sized(first, 15) << F::NeedMore << 16
                                                 << txt::kExchangeDataCmprReply << false;
    QTest::newRow("compressed body short") << sized(first, 20) << F::NeedMore << 21 << txt::kExchangeDataCmprReply
                                           << false;
    QTest::newRow("compressed reply, largest body") << cmprPacket(txt::kExchangeDataCmprReply, {}, 0, 0, 4095)
                                                    << F::NeedMore << 4111 << 0u << false;
    QTest::newRow("compressed body of 4096") << cmprPacket(txt::kExchangeDataCmprReply, {}, 0, 0, 4096) << F::Oversized
                                             << 0 << 0u << false;
    QTest::newRow("extra size 0xFFFFFFFF") << cmprPacket(txt::kExchangeDataCmpr, {}, 0, 0, 0xFFFFFFFF) << F::Oversized
                                           << 0 << txt::kExchangeDataCmprReply << false;
    QTest::newRow("unknown id") << hex("01 02 03 04 05") << F::UnknownId << 0 << 0u << false;
    QTest::newRow("camera start (not served)") << hex("A6 40 2A 88") + Bytes(16, 0) << F::UnknownId << 0 << 0u << false;
}

void TestCodec::txtFraming()
{
    QFETCH(Bytes, bytes);
    QFETCH(protocol::txt::Framing, framing);
    QFETCH(int, length);
    QFETCH(uint, reply);
    QFETCH(bool, readable);
    std::size_t found = 0;
    QCOMPARE(txt::packetLength(bytes.data(), bytes.size(), found), framing);
    if (framing == txt::Framing::Whole || framing == txt::Framing::NeedMore)
        QCOMPARE(int(found), length);
    if (bytes.size() >= txt::kIdSize)
        QCOMPARE(txt::replyIdFor(txt::packetId(bytes.data())), reply);
    if (bytes.size() < txt::kIdSize)
        return;
    txt::Status status;
    txt::Config config;
    txt::Outputs outputs;
    txt::Inputs inputs;
    const bool read = txt::readStatusReply(bytes.data(), bytes.size(), status)
        || txt::readUpdateConfig(bytes.data(), bytes.size(), config)
        || txt::readExchange(bytes.data(), bytes.size(), outputs)
        || txt::readExchangeReply(bytes.data(), bytes.size(), inputs);
    QCOMPARE(read, readable);
}

// The compressed exchange's receiving side: each row is the next packet
// after the host's first command (O1 = 512), or a reply on a fresh stream.
// A refused packet leaves the references as they were, so the following
// good packet still decodes right.
void TestCodec::txtDecoding_data()
{
    QTest::addColumn<Bytes>("packet");
    QTest::addColumn<bool>("reply");
    QTest::addColumn<protocol::txt::CmprError>("error");
    QTest::addColumn<Words>("words");
    using E = txt::CmprError;
    txt::WordStream sent;
    txt::Outputs out;
    out.duty[0] = 512;
    txt::compressedExchange(sent, {out}, 0);
    out.duty = {0, 300};
    const Bytes next = txt::compressedExchange(sent, {out}, 0);
    const Words nextWords = dutyWords({0, 300});
    const auto changed = [](Bytes b, std::size_t at, std::uint8_t value) {
        b[at] = value;
        return b;
    };
    QTest::newRow("the next command") << next << false << E::None << nextWords;
    // 0 -> 1 as a literal where the encoder would toggle: also valid.
    const Words literal = dutyWords({512, 1});
    QTest::newRow("a literal for 0 -> 1") << cmprPacket(txt::kExchangeDataCmpr, hex("1C 00 D0 5F 00"),
                                                        txt::wordsCrc(literal.data(), literal.size()), 0, 5)
                                          << false << E::None << literal;
    // Zeros that do not depend on what the TXT last got (O1 is 512 there).
    QTest::newRow("literal zeros") << txt::literalExchange({txt::Outputs{}}, 0) << false << E::None
                                   << dutyWords({});
    QTest::newRow("wrong id") << changed(next, 0, 0xE6) << false << E::WrongId << Words{};
    QTest::newRow("one byte short") << sized(next, next.size() - 1) << false << E::Truncated << Words{};
    QTest::newRow("one byte long") << sized(next, next.size() + 1) << false << E::Truncated << Words{};
    QTest::newRow("header alone") << sized(next, 16) << false << E::Truncated << Words{};
    QTest::newRow("CRC changed") << changed(next, 8, next[8] ^ 0x01) << false << E::BadCrc << Words{};
    QTest::newRow("mask bit 1") << changed(next, 12, 0x02) << false << E::BadMask << Words{};
    QTest::newRow("mask 1 with one block") << changed(next, 12, 0x01) << false << E::Truncated << Words{};
    QTest::newRow("oversized") << cmprPacket(txt::kExchangeDataCmpr, Bytes(4096, 0), 0, 0, 4096) << false
                               << E::Oversized << Words{};
    QTest::newRow("literal without its value") << cmprPacket(txt::kExchangeDataCmpr, hex("03"), 0, 0, 1) << false
                                               << E::Truncated << Words{};
    QTest::newRow("a run past 27 words") << cmprPacket(txt::kExchangeDataCmpr, hex("FD 08"), 0, 0, 2) << false
                                         << E::BadCode << Words{};
    txt::Inputs master, extension;
    master.ir[4].bits = 8;
    master.counterValue[3] = -2;
    extension.micLog = -7;
    extension.input[0] = 4999;
    Words both = txt::inputWords(master);
    const Words second = txt::inputWords(extension);
    both.insert(both.end(), second.begin(), second.end());
    txt::WordStream device;
    const Bytes withExtension = txt::compressedReply(device, {master, extension}, 1);
    QTest::newRow("reply with the extension") << withExtension << true << E::None << both;
    device.reset();
    QTest::newRow("reply without the extension") << txt::compressedReply(device, {master}, 0) << true << E::None
                                                 << txt::inputWords(master);
    QTest::newRow("reply, CRC changed") << changed(withExtension, 11, withExtension[11] ^ 0x80) << true << E::BadCrc
                                        << Words{};
    QTest::newRow("a command where a reply is due") << next << true << E::WrongId << Words{};
}

void TestCodec::txtDecoding()
{
    QFETCH(Bytes, packet);
    QFETCH(bool, reply);
    QFETCH(protocol::txt::CmprError, error);
    QFETCH(Words, words);
    txt::WordStream received;
    std::uint16_t mask = 0xFFFF;
    Words decoded;
    txt::CmprError result;
    std::uint16_t maskRead = 0;
    if (reply) {
        std::vector<txt::Inputs> blocks;
        result = txt::readCompressedReply(received, packet.data(), packet.size(), mask, blocks);
        maskRead = mask;
        for (const txt::Inputs &block : blocks) {
            const Words w = txt::inputWords(block);
            decoded.insert(decoded.end(), w.begin(), w.end());
        }
    } else {
        txt::WordStream host;
        txt::Outputs first;
        first.duty[0] = 512;
        const Bytes p1 = txt::compressedExchange(host, {first}, 0);
        std::vector<txt::Outputs> blocks;
        QCOMPARE(txt::readCompressedExchange(received, p1.data(), p1.size(), mask, blocks), txt::CmprError::None);
        mask = 0xFFFF;
        blocks.clear();
        result = txt::readCompressedExchange(received, packet.data(), packet.size(), mask, blocks);
        maskRead = mask;
        for (const txt::Outputs &block : blocks) {
            const Words w = txt::outputWords(block);
            decoded.insert(decoded.end(), w.begin(), w.end());
        }
        if (result != txt::CmprError::None) {
            txt::Outputs second;
            second.duty = {0, 300};
            const Bytes p2 = txt::compressedExchange(host, {second}, 0);
            QCOMPARE(txt::readCompressedExchange(received, p2.data(), p2.size(), mask, blocks), txt::CmprError::None);
            QCOMPARE(txt::outputWords(blocks.at(0)), dutyWords({0, 300}));
        }
    }
    QCOMPARE(result, error);
    QCOMPARE(decoded, words);
    const std::size_t perBlock = reply ? txt::kReplyWords : txt::kCommandWords;
    // Left alone on an error.
    QCOMPARE(int(maskRead), words.empty() ? 0xFFFF : int(words.size() / perBlock) - 1);
}

QTEST_APPLESS_MAIN(TestCodec)
#include "tst_codec.moc"
