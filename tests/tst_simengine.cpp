// SPDX-License-Identifier: GPL-3.0-or-later
#include <QtTest>

#include <sstream>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "protocol/codec.h"
#include "protocol/console.h"
#include "protocol/transferarea.h"
#include "simulator/engine.h"
#include "simulator/headless.h"
#include "simulator/replay.h"
#include "simulator/txtengine.h"
#include "rendezvous/simregistry.h"
#include "tests/simprocess.h"

using namespace protocol;
using txsim::DeviceEngine;
using txsim::Event;
using txsim::EventKind;
using txsim::Reply;
using txsim::Violation;

namespace {

// Drives an engine like a host would and keeps what came back.
struct Host {
    explicit Host(int extensions = 0)
        : engine(options(extensions))
    {
        engine.setListener([this](const Event &e) { events.push_back(e); });
    }

    static txsim::EngineOptions options(int extensions)
    {
        txsim::EngineOptions o;
        o.extensions = extensions;
        return o;
    }

    std::vector<Reply> send(std::uint32_t command, std::uint16_t tid, std::uint16_t sid, std::uint32_t items,
                            const std::vector<std::uint8_t> &payload)
    {
        Frame f;
        f.from = kBusMaster;
        f.to = kBusWildcard;
        f.tid = tid;
        f.sid = sid;
        f.command = command;
        f.items = items;
        f.payload = payload;
        const auto bytes = encodeFrame(f);
        std::vector<Reply> replies;
        engine.receive(bytes.data(), bytes.size(), replies);
        return replies;
    }

    Frame decode(const Reply &reply)
    {
        FrameDecoder d;
        d.feed(reply.bytes.data(), reply.bytes.size());
        Frame f;
        if (!d.next(f))
            QTest::qFail("reply is not a valid frame", __FILE__, __LINE__);
        return f;
    }

    void openSession() { send(kCmdEcho, 1, 0, 1, echoPayloadBytes()); }

    static std::vector<std::uint8_t> echoPayloadBytes()
    {
        std::vector<std::uint8_t> p;
        appendTaId(p, 0);
        p.insert(p.end(), {1, 2, 3, 4});
        return p;
    }

    int countViolations(Violation v) const
    {
        int n = 0;
        for (const Event &e : events)
            n += e.kind == EventKind::Violation && e.violation == v;
        return n;
    }

    DeviceEngine engine;
    std::vector<Event> events;
};

std::vector<std::uint8_t> outputs(std::uint32_t ta, std::array<std::int16_t, 8> duty)
{
    TaOutput out;
    out.duty = duty;
    std::vector<std::uint8_t> p;
    appendTa(p, ta, out);
    return p;
}

std::vector<std::uint8_t> motorConfig(std::uint32_t ta, std::array<std::uint8_t, 4> motors)
{
    TaConfig c;
    c.motor = motors;
    std::vector<std::uint8_t> p;
    appendTa(p, ta, c);
    return p;
}

namespace txt = protocol::txt;
using Bytes = std::vector<std::uint8_t>;

// One step of a host's conversation with the TXT engine: bytes sent, or a
// new connection.
struct TxtStep {
    Bytes bytes;
    bool connect = false;
};

// A conversation as a client writes it, compressed exchanges coded against
// the references of its connection.
struct TxtScript {
    TxtScript &send(const Bytes &bytes)
    {
        steps.push_back({bytes, false});
        return *this;
    }
    // StartOnline, then the master's configuration (id 1) and the extension's.
    TxtScript &online(bool extension = false)
    {
        send(txt::startOnline());
        return config(0, 1, {1, 1, 1, 1}).config(1, 1, {1, 1, 1, 1}, extension);
    }
    TxtScript &config(std::int16_t extension, std::int16_t id, std::array<std::uint8_t, 4> motors, bool really = true)
    {
        txt::Config c;
        c.extension = extension;
        c.configId = id;
        c.motor = motors;
        return really ? send(txt::updateConfig(c)) : *this;
    }
    TxtScript &exchange(std::array<std::int16_t, 8> duty)
    {
        txt::Outputs out;
        out.duty = duty;
        return send(txt::exchange(out));
    }
    TxtScript &compressed(std::array<std::int16_t, 8> master, std::uint16_t mask = 0, std::array<std::int16_t, 8> ext = {})
    {
        std::vector<txt::Outputs> blocks(1 + mask);
        blocks[0].duty = master;
        if (mask)
            blocks[1].duty = ext;
        return send(txt::compressedExchange(host, blocks, mask));
    }
    TxtScript &connect()
    {
        steps.push_back({{}, true});
        host.reset();
        return *this;
    }

    std::vector<TxtStep> steps;
    txt::WordStream host;
};

using Ids = std::vector<std::uint32_t>;
using Kinds = std::vector<int>;

Ids operator+(Ids a, const Ids &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

Q_DECLARE_METATYPE(TxtScript)
Q_DECLARE_METATYPE(Ids)
Q_DECLARE_METATYPE(Kinds)

// The simulated controller's answers, without a pseudo-terminal.
class TestSimEngine : public QObject {
    Q_OBJECT
private slots:
    void consoleProbeAnswer();
    void unknownCommandsUnanswered_data();
    void unknownCommandsUnanswered();
    void sessions();
    void replyBytesMatchPublishedFrames();
    void exchangeFlags_data();
    void exchangeFlags();
    void extensions();
    void watchdog();
    void otherControllers_data();
    void otherControllers();
    void replay();
    void jsonStrings_data();
    void jsonStrings();
    void numbers_data();
    void numbers();
    void commandLines();
    void txtConversations_data();
    void txtConversations();
    void switches_data();
    void switches();
    void txtSimulatorWithNaiveClient();
};

void TestSimEngine::consoleProbeAnswer()
{
    Host host;
    const auto probe = consoleProbe();
    std::vector<Reply> replies;
    // The probe may arrive split across reads.
    host.engine.receive(probe.data(), 5, replies);
    host.engine.receive(probe.data() + 5, probe.size() - 5, replies);
    QCOMPARE(replies.size(), std::size_t(1));
    QVERIFY(!replies[0].isFrame);
    QCOMPARE(replies[0].bytes.size(), std::size_t(59));
    const std::string text(replies[0].bytes.begin(), replies[0].bytes.end());
    QCOMPARE(QString::fromStdString(text), QString("\r\nROBO TX-000/USB>get_ser_num\r\n0000000001\r\nROBO TX-000/USB>"));
}

void TestSimEngine::unknownCommandsUnanswered_data()
{
    QTest::addColumn<uint>("command");
    QTest::addColumn<uint>("items");
    QTest::addColumn<int>("payloadSize");
    QTest::newRow("monitor 3") << 3u << 0u << 0;
    QTest::newRow("message 8") << 8u << 1u << 104;
    QTest::newRow("I2C 19") << 19u << 0u << 8;
    QTest::newRow("a reply code") << 102u << 1u << 52;
    QTest::newRow("exchange with short payload") << 2u << 1u << 40;
    QTest::newRow("config with item count off") << 5u << 2u << 52;
    QTest::newRow("info for an offline extension") << 6u << 1u << -3;
}

void TestSimEngine::unknownCommandsUnanswered()
{
    QFETCH(uint, command);
    QFETCH(uint, items);
    QFETCH(int, payloadSize);
    Host host;
    host.openSession();
    std::vector<std::uint8_t> payload(static_cast<std::size_t>(qMax(payloadSize, 0)), 0);
    if (payloadSize < 0)
        appendTaId(payload, 3);
    QVERIFY(host.send(command, 2, 1, items, payload).empty());
    // The engine keeps working afterwards.
    QCOMPARE(host.send(kCmdState, 3, 1, 1, std::vector<std::uint8_t>(4, 0)).size(), std::size_t(1));
}

void TestSimEngine::sessions()
{
    Host host;
    auto replies = host.send(kCmdEcho, 1, 0, 1, Host::echoPayloadBytes());
    QCOMPARE(replies.size(), std::size_t(1));
    Frame r = host.decode(replies[0]);
    QCOMPARE(r.command, 101u);
    QCOMPARE(r.sid, std::uint16_t(1));
    QCOMPARE(r.payload, Host::echoPayloadBytes());
    QCOMPARE(r.to, kBusMaster);
    host.send(kCmdConfig, 2, 1, 1, motorConfig(0, {1, 1, 1, 1}));
    host.send(kCmdExchange, 3, 1, 1, outputs(0, {300, 0, 0, 0, 0, 0, 0, 0}));
    QCOMPARE(host.engine.snapshot().ta[0].duty[0], std::int16_t(300));
    // An echo inside the session is only a ping.
    r = host.decode(host.send(kCmdEcho, 4, 1, 0, {}).at(0));
    QCOMPARE(r.sid, std::uint16_t(1));
    QCOMPARE(host.engine.snapshot().ta[0].duty[0], std::int16_t(300));
    // A new session switches every output off.
    r = host.decode(host.send(kCmdEcho, 1, 0, 0, {}).at(0));
    QCOMPARE(r.sid, std::uint16_t(2));
    QCOMPARE(host.engine.snapshot().ta[0].duty[0], std::int16_t(0));
}

void TestSimEngine::replyBytesMatchPublishedFrames()
{
    Host host;
    host.openSession();
    std::vector<std::uint8_t> ta0(4, 0);
    const auto info = host.send(kCmdInfo, 4, 1, 1, ta0).at(0).bytes;
    QCOMPARE(info.size(), std::size_t(95));
    QCOMPARE(std::vector<std::uint8_t>(info.end() - 3, info.end()), (std::vector<std::uint8_t>{0xF8, 0xA4, 0x03}));
    const auto state = host.send(kCmdState, 5, 1, 1, ta0).at(0).bytes;
    QCOMPARE(std::vector<std::uint8_t>(state.end() - 3, state.end()), (std::vector<std::uint8_t>{0xFF, 0x5A, 0x03}));
    const auto config = host.send(kCmdConfig, 2, 1, 1, motorConfig(0, {1, 1, 1, 1})).at(0).bytes;
    QCOMPARE(config, (std::vector<std::uint8_t>{0x02, 0x55, 0x00, 0x18, 0x02, 0, 0, 0, 0x02, 0, 0, 0, 0x02, 0, 0x01, 0,
                                                 0x69, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0x77, 0x03}));
}

void TestSimEngine::exchangeFlags_data()
{
    QTest::addColumn<bool>("motorMode");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("second");
    QTest::addColumn<int>("violation");
    QTest::addColumn<int>("appliedFirst");
    QTest::newRow("one direction") << true << 512 << 0 << int(Violation::None) << 512;
    QTest::newRow("both directions of a motor") << true << 300 << 200 << int(Violation::BothDirections) << 300;
    QTest::newRow("both outputs in single mode") << false << 300 << 200 << int(Violation::None) << 300;
    QTest::newRow("negative duty") << true << -1 << 0 << int(Violation::NegativeDuty) << 0;
    QTest::newRow("duty above 512") << true << 513 << 0 << int(Violation::DutyTooHigh) << 512;
}

void TestSimEngine::exchangeFlags()
{
    QFETCH(bool, motorMode);
    QFETCH(int, first);
    QFETCH(int, second);
    QFETCH(int, violation);
    QFETCH(int, appliedFirst);
    Host host;
    host.openSession();
    const std::uint8_t mode = motorMode ? 1 : 0;
    host.send(kCmdConfig, 2, 1, 1, motorConfig(0, {0, mode, 0, 0}));
    // M2 = O3/O4. Sent twice: a lasting conflict is reported once.
    for (std::uint16_t tid : {3, 4}) {
        const auto replies = host.send(kCmdExchange, tid, 1, 1,
                                       outputs(0, {0, 0, std::int16_t(first), std::int16_t(second), 0, 0, 0, 0}));
        QCOMPARE(replies.size(), std::size_t(1));
        QCOMPARE(host.decode(replies[0]).payload.size(), kTaIdSize + kTaInputSize);
    }
    const auto v = static_cast<Violation>(violation);
    for (Violation kind : {Violation::NegativeDuty, Violation::DutyTooHigh, Violation::BothDirections}) {
        const int expected = kind != v ? 0 : kind == Violation::BothDirections ? 1 : 2;
        QCOMPARE(host.countViolations(kind), expected);
    }
    QCOMPARE(int(host.engine.snapshot().ta[0].duty[2]), appliedFirst);
}

void TestSimEngine::extensions()
{
    Host host(1);
    host.openSession();
    // Reply 107 lists extension 1 online.
    const Frame state = host.decode(host.send(kCmdState, 2, 1, 1, std::vector<std::uint8_t>(4, 0)).at(0));
    std::vector<Item> items;
    QVERIFY(splitItems(state, kTaStateSize, items));
    QCOMPARE(decodeTaState(items[0].data).extension, (std::array<std::uint8_t, 8>{1, 0, 0, 0, 0, 0, 0, 0}));

    auto payload = outputs(0, {10, 0, 0, 0, 0, 0, 0, 0});
    const auto ext1 = outputs(1, {0, 0, 0, 0, 0, 0, 0, 20});
    const auto ext2 = outputs(2, {30, 0, 0, 0, 0, 0, 0, 0});
    payload.insert(payload.end(), ext1.begin(), ext1.end());
    payload.insert(payload.end(), ext2.begin(), ext2.end());
    const Frame reply = host.decode(host.send(kCmdExchange, 3, 1, 3, payload).at(0));
    // One input structure per controller on the bus; the offline one is skipped.
    QVERIFY(splitItems(reply, kTaInputSize, items));
    QCOMPARE(items.size(), std::size_t(2));
    QCOMPARE(items[0].taId, 0u);
    QCOMPARE(items[1].taId, 1u);
    const txsim::Snapshot s = host.engine.snapshot();
    QCOMPARE(s.ta[1].duty[7], std::int16_t(20));
    QCOMPARE(s.ta[2].duty[0], std::int16_t(0));

    host.engine.setExtensionOnline(1, false);
    QCOMPARE(host.engine.snapshot().ta[1].duty[7], std::int16_t(0));
}

void TestSimEngine::watchdog()
{
    Host host;
    host.openSession();
    host.send(kCmdExchange, 2, 1, 1, outputs(0, {0, 0, 0, 0, 0, 0, 0, 400}));
    host.engine.tick(DeviceEngine::Clock::now());
    QCOMPARE(host.engine.snapshot().ta[0].duty[7], std::int16_t(400));
    QCOMPARE(host.engine.snapshot().watchdogFirings, 0u);
    const auto late = DeviceEngine::Clock::now() + std::chrono::milliseconds(1500);
    host.engine.tick(late);
    QCOMPARE(host.engine.snapshot().ta[0].duty[7], std::int16_t(0));
    QCOMPARE(host.events.back().kind, EventKind::Watchdog);
    QVERIFY2(host.events.back().value >= 1500 && host.events.back().value < 2500, qPrintable(QString::number(host.events.back().value)));
    QCOMPARE(host.events.back().count, 1u);
    // One silence is one firing, however many ticks it lasts.
    host.engine.tick(late + std::chrono::milliseconds(1500));
    QCOMPARE(host.engine.snapshot().watchdogFirings, 1u);
    host.send(kCmdExchange, 3, 1, 1, outputs(0, {0, 0, 0, 0, 0, 0, 0, 400}));
    host.engine.tick(DeviceEngine::Clock::now() + std::chrono::milliseconds(1500));
    QCOMPARE(host.engine.snapshot().watchdogFirings, 2u);
    QCOMPARE(host.events.back().count, 2u);
}

void TestSimEngine::otherControllers_data()
{
    QTest::addColumn<QString>("behaviour");
    QTest::addColumn<uint>("command");
    QTest::addColumn<int>("replyCommand"); // -1: no reply
    QTest::addColumn<int>("replySid");
    QTest::newRow("ignores the status request") << "ignore 7" << 7u << -1 << 0;
    QTest::newRow("other commands still answered") << "ignore 7" << 6u << 106 << 1;
    QTest::newRow("error code for the information") << "error 6:255" << 6u << 255 << 1;
    QTest::newRow("session id kept at 0") << "session zero" << 6u << 106 << 0;
    QTest::newRow("exchange naming an absent extension") << "absent" << 2u << -1 << 0;
    QTest::newRow("exchange naming a present extension") << "all" << 2u << -1 << 0;
}

void TestSimEngine::otherControllers()
{
    QFETCH(QString, behaviour);
    QFETCH(uint, command);
    QFETCH(int, replyCommand);
    QFETCH(int, replySid);
    txsim::EngineOptions options;
    options.extensions = 1;
    if (behaviour == "ignore 7")
        options.ignored.insert(7);
    else if (behaviour == "error 6:255")
        options.errorReplies[6] = 255;
    else if (behaviour == "session zero")
        options.sessionZero = true;
    else
        options.extensionExchanges = behaviour == "all" ? txsim::ExtensionExchanges::IgnoreAll : txsim::ExtensionExchanges::IgnoreAbsent;
    DeviceEngine engine(options);
    std::vector<Reply> replies;
    const auto send = [&](std::uint32_t cmd, std::uint16_t tid, std::uint16_t sid, std::uint32_t items,
                          const std::vector<std::uint8_t> &payload) {
        Frame f;
        f.command = cmd;
        f.tid = tid;
        f.sid = sid;
        f.items = items;
        f.payload = payload;
        const auto bytes = encodeFrame(f);
        replies.clear();
        engine.receive(bytes.data(), bytes.size(), replies);
    };
    send(kCmdEcho, 1, 0, 1, Host::echoPayloadBytes());
    std::vector<std::uint8_t> payload(4, 0);
    std::uint32_t items = 1;
    if (command == kCmdExchange) {
        // The master, and extension 1 (present) or 2 (absent).
        payload = outputs(0, {100, 0, 0, 0, 0, 0, 0, 0});
        const auto extension = outputs(behaviour == "all" ? 1 : 2, {0, 0, 0, 0, 0, 0, 0, 0});
        payload.insert(payload.end(), extension.begin(), extension.end());
        items = 2;
    }
    send(command, 9, 1, items, payload);
    QCOMPARE(int(replies.size()), replyCommand < 0 ? 0 : 1);
    if (replyCommand >= 0) {
        FrameDecoder decoder;
        decoder.feed(replies[0].bytes.data(), replies[0].bytes.size());
        Frame reply;
        QVERIFY(decoder.next(reply));
        QCOMPARE(int(reply.command), replyCommand);
        QCOMPARE(reply.tid, std::uint16_t(9));
        QCOMPARE(int(reply.sid), replySid);
    }
    // An unanswered exchange was not carried out either.
    QCOMPARE(engine.snapshot().ta[0].duty[0], std::int16_t(0));
}

void TestSimEngine::replay()
{
    // A report's conversation: the echo answered 2 ms late, the information
    // request twice, first unanswered, then answered with a stale frame
    // before the answer; a console answer with letters.
    const std::string report = "== summary\nresult: OK\n\n== conversation\n# comment\n"
                               "100\ttx\t-\t-\tconsole probe\t0d 67\n"
                               "150\tconsole\t-\t-\t9 bytes\t0d 0a 41 42 31 0d 0a 3e 20\n"
                               "1000\ttx\t1\t1\tcmd 1 tid 1 sid 0\t02 55\n"
                               "3000\tframe\t101\t1\tanswer\t02 55 00 14 02 00 00 00 02 00 00 00 01 00 07 00 65 00 00 00 00 00 00 00 ff 7b 03\n"
                               "4000\ttx\t6\t2\tcmd 6 tid 2 sid 7\t02 55\n"
                               "5000\ttx\t6\t3\tcmd 6 tid 3 sid 7\t02 55\n"
                               "5100\tframe\t106\t2\tstale\t02 55 00 14\n"
                               "5200\tframe\t106\t3\tanswer\t02 55 00 14\n"
                               "\n== errors\n9\ttx\t2\t4\tnot in the conversation\t02\n";
    std::istringstream in(report);
    txsim::Replay replay;
    std::string error;
    QVERIFY2(replay.parse(in, error), error.c_str());
    QCOMPARE(replay.requests(), std::size_t(3));
    QCOMPARE(replay.consoleAnswer().size(), std::size_t(9));
    const txsim::RecordedAnswer *echo = replay.answer(kCmdEcho, 0);
    QVERIFY(echo && echo->answered);
    QCOMPARE(echo->delay, std::chrono::microseconds(2000));
    QCOMPARE(echo->frame.size(), std::size_t(27));
    QVERIFY(!replay.answer(kCmdInfo, 0)->answered);
    QVERIFY(replay.answer(kCmdInfo, 1)->answered);
    QCOMPARE(replay.answer(kCmdInfo, 1)->delay, std::chrono::microseconds(200));
    // Past the recording, the last answer again; unrecorded commands: none.
    QVERIFY(replay.answer(kCmdInfo, 5)->answered);
    QVERIFY(!replay.answer(kCmdExchange, 0));

    // The engine answers the echo with the recorded frame under the new TID.
    txsim::EngineOptions options;
    options.replay = std::make_shared<txsim::Replay>(replay);
    DeviceEngine engine(options);
    Frame request;
    request.command = kCmdEcho;
    request.tid = 1;
    const auto bytes = encodeFrame(request);
    std::vector<Reply> replies;
    engine.receive(bytes.data(), bytes.size(), replies);
    QCOMPARE(replies.size(), std::size_t(1));
    QCOMPARE(replies[0].delay, std::chrono::microseconds(2000));
    FrameDecoder decoder;
    decoder.feed(replies[0].bytes.data(), replies[0].bytes.size());
    Frame reply;
    QVERIFY(decoder.next(reply));
    QCOMPARE(reply.sid, std::uint16_t(7));
    QCOMPARE(reply.items, 0u);

    std::istringstream empty("== conversation\n");
    QVERIFY(!txsim::Replay().parse(empty, error));
}

void TestSimEngine::jsonStrings_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("json");
    QTest::newRow("plain") << QByteArray("drop 1") << QByteArray("\"drop 1\"");
    QTest::newRow("quote and backslash") << QByteArray("a\"b\\c") << QByteArray("\"a\\\"b\\\\c\"");
    QTest::newRow("control characters") << QByteArray("a\x01\tb\x7f") << QByteArray("\"a\\u0001\\u0009b\\u007f\"");
    QTest::newRow("two-, three- and four-byte UTF-8")
        << QByteArray("\xd0\x96\xe2\x82\xac\xf0\x9f\x98\x80") << QByteArray("\"\xd0\x96\xe2\x82\xac\xf0\x9f\x98\x80\"");
    QTest::newRow("lone continuation byte") << QByteArray("a\x80") << QByteArray("\"a\\u0080\"");
    QTest::newRow("sequence cut short") << QByteArray("\xe2\x82") << QByteArray("\"\\u00e2\\u0082\"");
    QTest::newRow("overlong slash") << QByteArray("\xc0\xaf") << QByteArray("\"\\u00c0\\u00af\"");
    QTest::newRow("surrogate") << QByteArray("\xed\xa0\x80") << QByteArray("\"\\u00ed\\u00a0\\u0080\"");
    QTest::newRow("above U+10FFFF") << QByteArray("\xf4\x90\x80\x80") << QByteArray("\"\\u00f4\\u0090\\u0080\\u0080\"");
}

void TestSimEngine::jsonStrings()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, json);
    const std::string out = txsim::jsonString(text.toStdString());
    QCOMPARE(QByteArray::fromStdString(out), json);
    // Whatever came in, a JSON reader takes it.
    QJsonParseError error;
    QJsonDocument::fromJson("[" + QByteArray::fromStdString(out) + "]", &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
}

void TestSimEngine::numbers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("number");
    QTest::addColumn<qlonglong>("value");
    QTest::newRow("in range") << "42" << true << 42LL;
    QTest::newRow("above") << "1000001" << true << 1000000LL;
    QTest::newRow("far beyond 64 bits") << "99999999999999999999999999" << true << 1000000LL;
    QTest::newRow("negative") << "-5" << true << 0LL;
    QTest::newRow("plus sign") << "+7" << true << 7LL;
    QTest::newRow("letters") << "12ab" << false << 0LL;
    QTest::newRow("sign alone") << "-" << false << 0LL;
    QTest::newRow("empty") << "" << false << 0LL;
}

void TestSimEngine::numbers()
{
    QFETCH(QString, text);
    QFETCH(bool, number);
    QFETCH(qlonglong, value);
    long long parsed = -1;
    QCOMPARE(txsim::saturatedNumber(text.toStdString(), 0, 1000000, parsed), number);
    if (number)
        QCOMPARE(qlonglong(parsed), value);
}

void TestSimEngine::commandLines()
{
    txsim::LineReader reader;
    std::vector<std::string> lines;
    // A line split over reads, two in one read, an overlong one cut.
    reader.feed("dro", 3, lines);
    reader.feed("p 2\nstatus\nmu", 13, lines);
    QCOMPARE(lines, (std::vector<std::string>{"drop 2", "status"}));
    lines.clear();
    const std::string longLine(3 * txsim::LineReader::kMaxLine, 'x');
    reader.feed("te", 2, lines);
    reader.feed(longLine.data(), longLine.size(), lines);
    reader.feed("\nquit\n", 6, lines);
    QCOMPARE(lines.size(), std::size_t(2));
    QCOMPARE(lines[0].size(), txsim::LineReader::kMaxLine);
    QCOMPARE(lines[0].substr(0, 6), std::string("mutexx"));
    QCOMPARE(lines[1], std::string("quit"));
}

// The TXT engine's answers to conversations from the online protocol's
// sheet: each reply framed by its id and size, compressed replies decodable
// by the host with a matching CRC, the violations it reports, whether it
// keeps the connection, and what the outputs are at the end. Delivered as
// written, split into single bytes, or all in one read.
void TestSimEngine::txtConversations_data()
{
    QTest::addColumn<TxtScript>("script");
    QTest::addColumn<QString>("delivery");
    QTest::addColumn<bool>("extension");
    QTest::addColumn<Ids>("replies");
    QTest::addColumn<Kinds>("violations");
    QTest::addColumn<bool>("open");
    QTest::addColumn<int>("o1");
    QTest::addColumn<int>("extO8");
    QTest::addColumn<int>("mask");
    using V = Violation;
    const Ids started{txt::kStartOnlineReply, txt::kUpdateConfigReply};
    const Ids everyCommand{txt::kQueryStatusReply, txt::kStartOnlineReply, txt::kUpdateConfigReply,
                           txt::kExchangeDataReply, txt::kExchangeDataCmprReply, txt::kStopOnlineReply};
    const auto each = [] {
        TxtScript s;
        s.send(txt::queryStatus()).online().exchange({512}).compressed({300}).send(txt::stopOnline());
        return s;
    };
    QTest::newRow("every command") << each() << "whole" << false << everyCommand << Kinds{} << true << 300 << 0 << 0;
    QTest::newRow("every command, byte by byte") << each() << "bytes" << false << everyCommand << Kinds{} << true << 300
                                                 << 0 << 0;
    QTest::newRow("two requests in one read") << TxtScript().send(txt::queryStatus()).send(txt::startOnline()) << "one read"
                                              << false << Ids{txt::kQueryStatusReply, txt::kStartOnlineReply}
                                              << Kinds{int(V::Pipelined)} << true << 0 << 0 << -1;
    QTest::newRow("three exchanges in one read, paced")
        << TxtScript().online().exchange({1}).exchange({2}).exchange({3}) << "one read" << false
        << Ids{txt::kStartOnlineReply, txt::kUpdateConfigReply, txt::kExchangeDataReply, txt::kExchangeDataReply,
               txt::kExchangeDataReply}
        << Kinds(4, int(V::Pipelined)) << true << 3 << 0 << -1;
    // Ignored: the pair stays a motor, so both channels driven is one.
    QTest::newRow("config id unchanged") << TxtScript().online().config(0, 1, {0, 0, 0, 0}).exchange({100, 100})
                                         << "whole" << false << started + Ids{txt::kUpdateConfigReply, txt::kExchangeDataReply}
                                         << Kinds{int(V::ConfigIdUnchanged), int(V::BothDirections)} << true << 100 << 0 << -1;
    QTest::newRow("config id changed") << TxtScript().online().config(0, 2, {0, 0, 0, 0}).exchange({100, 100}) << "whole"
                                       << false << started + Ids{txt::kUpdateConfigReply, txt::kExchangeDataReply}
                                       << Kinds{} << true << 100 << 0 << -1;
    QTest::newRow("first config id 0") << TxtScript().send(txt::startOnline()).config(0, 0, {1, 1, 1, 1}) << "whole"
                                       << false << started << Kinds{int(V::ConfigIdUnchanged)} << true << 0 << 0 << -1;
    QTest::newRow("both channels of a motor") << TxtScript().online().exchange({200, 100}).exchange({200, 100})
                                              << "whole" << false << started + Ids(2, txt::kExchangeDataReply)
                                              << Kinds{int(V::BothDirections)} << true << 200 << 0 << -1;
    TxtScript badCrc = TxtScript().online().compressed({512});
    badCrc.steps.back().bytes[8] ^= 0x01;
    QTest::newRow("CRC mismatch closes") << badCrc << "whole" << false << started << Kinds{int(V::CrcMismatch)} << false
                                         << 0 << 0 << -1;
    QTest::newRow("extension present") << TxtScript().online(true).compressed({100}, 1, {0, 0, 0, 0, 0, 0, 0, 50})
                                       << "whole" << true << started + Ids{txt::kUpdateConfigReply, txt::kExchangeDataCmprReply}
                                       << Kinds{} << true << 100 << 50 << 1;
    QTest::newRow("extension absent") << TxtScript().online(true).compressed({100}, 1, {0, 0, 0, 0, 0, 0, 0, 50})
                                      << "whole" << false << started + Ids{txt::kUpdateConfigReply, txt::kExchangeDataCmprReply}
                                      << Kinds{} << true << 100 << 0 << 0;
    QTest::newRow("outputs kept after the connection closes") << TxtScript().online().exchange({512}).connect() << "whole"
                                                              << false << started + Ids{txt::kExchangeDataReply}
                                                              << Kinds{} << true << 512 << 0 << -1;
    QTest::newRow("outputs kept after StopOnline") << TxtScript().online().exchange({512}).send(txt::stopOnline())
                                                   << "whole" << false
                                                   << started + Ids{txt::kExchangeDataReply, txt::kStopOnlineReply}
                                                   << Kinds{} << true << 512 << 0 << -1;
    QTest::newRow("a new connection starts the references over")
        << TxtScript().online().compressed({300}).connect().online().compressed({300}) << "whole" << false
        << started + Ids{txt::kExchangeDataCmprReply} + started + Ids{txt::kExchangeDataCmprReply} << Kinds{} << true
        << 300 << 0 << 0;
    QTest::newRow("exchange before StartOnline") << TxtScript().exchange({512}) << "whole" << false
                                                 << Ids{txt::kExchangeDataReply} << Kinds{int(V::NotOnline)} << true << 0
                                                 << 0 << -1;
    QTest::newRow("exchange before UpdateConfig") << TxtScript().send(txt::startOnline()).exchange({512}) << "whole"
                                                  << false << Ids{txt::kStartOnlineReply, txt::kExchangeDataReply}
                                                  << Kinds{int(V::Unconfigured)} << true << 512 << 0 << -1;
    QTest::newRow("unknown id closes") << TxtScript().online().send({1, 2, 3, 4}) << "whole" << false << started
                                       << Kinds{int(V::UnknownId)} << false << 0 << 0 << -1;
    QTest::newRow("a reply id as a request closes") << TxtScript().online().send(txt::idOnly(txt::kStopOnlineReply))
                                                    << "whole" << false << started << Kinds{int(V::UnknownId)} << false
                                                    << 0 << 0 << -1;
    QTest::newRow("a request after StopOnline closes")
        << TxtScript().online().send(txt::stopOnline()).send(txt::queryStatus()) << "whole" << false
        << started + Ids{txt::kStopOnlineReply} << Kinds{int(V::AfterStop)} << false << 0 << 0 << -1;
}

namespace {

// What each read of the conversation carries.
std::vector<TxtStep> readsOf(const TxtScript &script, const QString &delivery)
{
    std::vector<TxtStep> reads;
    for (const TxtStep &step : script.steps) {
        if (delivery == "bytes" && !step.connect) {
            for (std::uint8_t b : step.bytes)
                reads.push_back({{b}, false});
        } else if (delivery == "one read" && !step.connect && !reads.empty() && !reads.back().connect) {
            reads.back().bytes.insert(reads.back().bytes.end(), step.bytes.begin(), step.bytes.end());
        } else {
            reads.push_back(step);
        }
    }
    return reads;
}

// The host's side: every reply framed by its id, compressed ones decoded
// against the host's references, all in order.
struct TxtHost {
    void take(const txsim::TxtReply &reply)
    {
        std::size_t length = 0;
        QCOMPARE(txt::packetLength(reply.bytes.data(), reply.bytes.size(), length), txt::Framing::Whole);
        QCOMPARE(length, reply.bytes.size());
        ids.push_back(txt::packetId(reply.bytes.data()));
        if (ids.back() == txt::kExchangeDataCmprReply) {
            std::uint16_t m = 0;
            std::vector<txt::Inputs> blocks;
            QCOMPARE(txt::readCompressedReply(received, reply.bytes.data(), reply.bytes.size(), m, blocks),
                     txt::CmprError::None);
            mask = m;
        }
        if (!sent.empty())
            QVERIFY(reply.due >= sent.back().due);
        sent.push_back(reply);
    }
    // Every exchange answered at least a pacing step after every other.
    bool paced() const
    {
        std::vector<txsim::TxtEngine::Clock::time_point> due;
        for (const txsim::TxtReply &r : sent) {
            const std::uint32_t id = txt::packetId(r.bytes.data());
            if (id == txt::kExchangeDataReply || id == txt::kExchangeDataCmprReply)
                due.push_back(r.due);
        }
        for (std::size_t i = 1; i < due.size(); ++i) {
            if (due[i] - due[i - 1] < txsim::TxtEngine::kPacing)
                return false;
        }
        return true;
    }

    txt::WordStream received;
    Ids ids;
    int mask = -1;
    std::vector<txsim::TxtReply> sent;
};

} // namespace

void TestSimEngine::txtConversations()
{
    QFETCH(TxtScript, script);
    QFETCH(QString, delivery);
    QFETCH(bool, extension);
    QFETCH(Ids, replies);
    QFETCH(Kinds, violations);
    QFETCH(bool, open);
    QFETCH(int, o1);
    QFETCH(int, extO8);
    QFETCH(int, mask);
    txsim::TxtOptions options;
    options.extension = extension;
    options.watchdog = std::chrono::milliseconds(0);
    txsim::TxtEngine engine(options);
    Kinds seen;
    engine.setListener([&seen](const Event &e) {
        if (e.kind == EventKind::Violation)
            seen.push_back(int(e.violation));
    });
    engine.connect();
    TxtHost host;
    auto now = txsim::TxtEngine::Clock::now();
    bool stillOpen = true;
    for (const TxtStep &read : readsOf(script, delivery)) {
        if (read.connect) {
            engine.connect();
            host.received.reset();
            stillOpen = true;
            continue;
        }
        // Each read well after the answers to the one before.
        now += std::chrono::milliseconds(50);
        std::vector<txsim::TxtReply> out;
        stillOpen = engine.receive(read.bytes.data(), read.bytes.size(), now, out);
        for (const txsim::TxtReply &reply : out)
            host.take(reply);
    }
    QVERIFY(host.paced());
    QCOMPARE(host.ids, replies);
    QCOMPARE(seen, violations);
    QCOMPARE(stillOpen, open);
    const txsim::Snapshot s = engine.snapshot();
    QCOMPARE(int(s.ta[0].duty[0]), o1);
    QCOMPARE(int(s.ta[1].duty[7]), extO8);
    QCOMPARE(host.mask, mask);
    if (!open) {
        std::vector<txsim::TxtReply> out;
        const Bytes ping = txt::queryStatus();
        QVERIFY(!engine.receive(ping.data(), ping.size(), now, out));
        QVERIFY(out.empty());
    }
}

// A switch on an input, closed and opened: what the next answer reports in
// the input's mode, on either controller and either TXT exchange, and one
// event per change.
void TestSimEngine::switches_data()
{
    QTest::addColumn<QString>("exchange"); // "tx", "txt plain", "txt compressed"
    QTest::addColumn<int>("ta");
    QTest::addColumn<int>("mode"); // the ROBO TX's input mode byte
    QTest::addColumn<int>("closedValue");
    QTest::addColumn<int>("openValue");
    QTest::newRow("TX, digital") << "tx" << 0 << 0x81 << 1 << 0;
    QTest::newRow("TX, resistance") << "tx" << 0 << 0x01 << 10 << 5000;
    QTest::newRow("TX, voltage") << "tx" << 0 << 0x00 << 0 << 0;
    QTest::newRow("TX extension 3") << "tx" << 3 << 0x81 << 1 << 0;
    QTest::newRow("TXT plain") << "txt plain" << 0 << 0x81 << 1 << 0;
    QTest::newRow("TXT compressed, resistance") << "txt compressed" << 0 << 0x01 << 10 << 5000;
    QTest::newRow("TXT Extension 1") << "txt compressed" << 1 << 0x81 << 1 << 0;
}

void TestSimEngine::switches()
{
    QFETCH(QString, exchange);
    QFETCH(int, ta);
    QFETCH(int, mode);
    QFETCH(int, closedValue);
    QFETCH(int, openValue);
    constexpr int input = 5; // I6
    std::vector<Event> events;
    const auto record = [&events](const Event &e) {
        if (e.kind == EventKind::Input)
            events.push_back(e);
    };
    std::function<int()> answer;
    std::function<bool(bool)> set;
    Host host(8);
    txsim::TxtOptions txtOptions;
    txtOptions.extension = true;
    txtOptions.watchdog = std::chrono::milliseconds(0);
    txsim::TxtEngine txtEngine(txtOptions);
    txt::WordStream toTxt, fromTxt;
    std::vector<txsim::TxtReply> replies;
    auto now = txsim::TxtEngine::Clock::now();
    const auto send = [&](const Bytes &bytes) {
        replies.clear();
        now += std::chrono::milliseconds(50);
        txtEngine.receive(bytes.data(), bytes.size(), now, replies);
        return replies.at(0).bytes;
    };
    if (exchange == "tx") {
        host.engine.setListener(record);
        host.openSession();
        TaConfig config;
        config.input.fill(std::uint8_t(mode));
        std::vector<std::uint8_t> payload;
        appendTa(payload, std::uint32_t(ta), config);
        host.send(kCmdConfig, 2, 1, 1, payload);
        set = [&](bool closed) { return host.engine.setInput(ta, input, closed); };
        answer = [&] {
            const Frame reply = host.decode(host.send(kCmdExchange, 3, 1, 1, outputs(std::uint32_t(ta), {})).at(0));
            std::vector<Item> items;
            return splitItems(reply, kTaInputSize, items) ? int(decodeTaInput(items.at(0).data).universal[input]) : -1;
        };
    } else {
        txtEngine.setListener(record);
        txtEngine.connect();
        send(txt::startOnline());
        txt::Config config;
        config.configId = 1;
        config.extension = std::int16_t(ta);
        config.input.fill(txt::InputConfig{std::uint8_t(mode & 0x7F), std::uint8_t(mode >> 7)});
        send(txt::updateConfig(config));
        set = [&](bool closed) { return txtEngine.setInput(ta, input, closed); };
        answer = [&] {
            std::vector<txt::Inputs> blocks(1);
            if (exchange == "txt plain") {
                const Bytes reply = send(txt::exchange(txt::Outputs{}));
                return txt::readExchangeReply(reply.data(), reply.size(), blocks[0]) ? int(blocks[0].input[input]) : -1;
            }
            const Bytes reply = send(txt::compressedExchange(toTxt, std::vector<txt::Outputs>(2), 1));
            std::uint16_t mask = 0;
            if (txt::readCompressedReply(fromTxt, reply.data(), reply.size(), mask, blocks) != txt::CmprError::None)
                return -1;
            return int(blocks.at(std::size_t(ta)).input[input]);
        };
    }
    QCOMPARE(answer(), openValue);
    QVERIFY(set(true));
    QVERIFY(set(true));
    QCOMPARE(answer(), closedValue);
    QVERIFY(set(false));
    QCOMPARE(answer(), openValue);
    QCOMPARE(events.size(), std::size_t(2));
    QCOMPARE(events[0].ta, ta);
    QCOMPARE(events[0].index, input);
    QCOMPARE(events[0].value, 1);
    QCOMPARE(events[1].value, 0);
}

namespace {

// A client as a third party would write one from the protocol's sheet: a
// plain socket, one request, then exactly its reply (with a deadline, so a
// silent simulator fails the test instead of hanging it).
struct NaiveClient {
    explicit NaiveClient(std::uint16_t port)
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ~NaiveClient()
    {
        if (fd >= 0)
            ::close(fd);
    }
    // The reply's bytes; fewer when the connection ended or 2 s passed.
    Bytes request(const Bytes &packet, std::size_t replySize)
    {
        if (::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) != ssize_t(packet.size()))
            return {};
        return read(replySize);
    }
    Bytes read(std::size_t size)
    {
        Bytes in(size);
        std::size_t got = 0;
        QElapsedTimer timer;
        timer.start();
        while (got < size && timer.elapsed() < 2000) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t n = ::recv(fd, in.data() + got, size - got, 0);
            if (n <= 0) {
                ended = true;
                break;
            }
            got += std::size_t(n);
        }
        in.resize(got);
        return in;
    }
    int fd = -1;
    // The simulator closed the connection.
    bool ended = false;
};

std::uint32_t idOf(const Bytes &reply)
{
    return reply.size() >= 4 ? txt::packetId(reply.data()) : 0;
}

} // namespace

// The headless simulator on a free port, announced, driven by a naive
// client: its outputs as events, kept when the client goes away without a
// word (watchdog off), one client at a time, the I2C port beside, and the
// simulator's own close.
void TestSimEngine::txtSimulatorWithNaiveClient()
{
    QTemporaryDir simDir;
    qputenv("KAVRIK_SIM_DIR", simDir.path().toUtf8());
    SimProcess sim;
    QVERIFY(sim.start({"--txt", "127.0.0.1:0"}, simDir.path()));
    QCOMPARE(rendezvous::runningTxtSimulators(), std::vector<std::string>{sim.port.toStdString()});
    const auto port = std::uint16_t(sim.port.section(':', 1).toUInt());
    const auto opened = [&sim] { return !sim.waitFor([](const QJsonObject &e) { return e["event"] == "connection" && e["state"] == "open"; }, 2000).isEmpty(); };
    const auto closed = [&sim] { return !sim.waitFor([](const QJsonObject &e) { return e["event"] == "connection" && e["state"] == "closed"; }, 2000).isEmpty(); };
    txt::Config config;
    config.configId = 1;
    txt::Outputs out;
    {
        NaiveClient client(port);
        QVERIFY(client.fd >= 0);
        QCOMPARE(idOf(client.request(txt::startOnline(), 4)), txt::kStartOnlineReply);
        // As common clients do as they start: the I2C port, two further on,
        // takes a connection and keeps it while the exchanges go on.
        NaiveClient i2c(std::uint16_t(port + 2));
        QVERIFY(i2c.fd >= 0);
        QVERIFY(!sim.waitFor([](const QJsonObject &e) { return e["event"] == "connection" && e["state"] == "i2c open"; }, 2000).isEmpty());
        QCOMPARE(idOf(client.request(txt::updateConfig(config), 4)), txt::kUpdateConfigReply);
        out.duty[0] = 512;
        QCOMPARE(idOf(client.request(txt::exchange(out), 80)), txt::kExchangeDataReply);
        QVERIFY(!sim.waitOutput(0, 0, 512).isEmpty());
        out.duty = {0, 300};
        QCOMPARE(idOf(client.request(txt::exchange(out), 80)), txt::kExchangeDataReply);
        QVERIFY(!sim.waitOutput(0, 1, 300).isEmpty());
        // A switch closed by a command: its event, then the next answer.
        QVERIFY(sim.command("input 0 2 closed"));
        QVERIFY(!sim.waitFor([](const QJsonObject &e) {
            return e["event"] == "input" && e["ta"] == 0 && e["input"] == 2 && e["closed"] == true && e["t_us"].toDouble() > 0;
        }, 0, 0).isEmpty());
        txt::Inputs inputs;
        const Bytes answer = client.request(txt::exchange(out), 80);
        QVERIFY(txt::readExchangeReply(answer.data(), answer.size(), inputs));
        QCOMPARE(inputs.input, (std::array<std::int16_t, 8>{0, 1, 0, 0, 0, 0, 0, 0}));
        // Indices out of range, a state that is neither, a missing word.
        for (const char *wrong : {"input 2 1 closed", "input 0 9 open", "input 0 0 open", "input 0 1 ajar", "input 0 1",
                                  "counter 0 5 1", "counter x 1 1"}) {
            sim.send(QByteArray(wrong) + '\n');
            QVERIFY2(!sim.waitFor([&](const QJsonObject &e) { return e["event"] == "error" && e["command"] == wrong; }, 2000).isEmpty(), wrong);
        }
        QCOMPARE(sim.count("input"), 1);
        // A second client meanwhile is turned away.
        NaiveClient second(port);
        QVERIFY(second.read(1).empty());
        QVERIFY(second.ended);
    }
    QVERIFY(closed());
    QCOMPARE(sim.status()["ta"].toArray()[0].toObject()["duty"].toArray()[1].toInt(), 300);
    NaiveClient again(port);
    QVERIFY(opened());
    QCOMPARE(idOf(again.request(txt::startOnline(), 4)), txt::kStartOnlineReply);
    QCOMPARE(idOf(again.request(txt::updateConfig(config), 4)), txt::kUpdateConfigReply);
    out.duty = {};
    QCOMPARE(idOf(again.request(txt::exchange(out), 80)), txt::kExchangeDataReply);
    QVERIFY(!sim.waitOutput(0, 1, 0).isEmpty());
    QCOMPARE(idOf(again.request(txt::stopOnline(), 4)), txt::kStopOnlineReply);
    QVERIFY(sim.command("close"));
    QVERIFY(again.read(1).empty());
    QVERIFY(again.ended);
    QVERIFY(closed());
    QCOMPARE(sim.count("violation"), 0);
    QCOMPARE(sim.count("watchdog"), 0);
}

QTEST_GUILESS_MAIN(TestSimEngine)
#include "tst_simengine.moc"
