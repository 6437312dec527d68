#include <QtTest>

#include "codec.h"
#include "console.h"
#include "engine.h"
#include "transferarea.h"

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

} // namespace

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

QTEST_APPLESS_MAIN(TestSimEngine)
#include "tst_simengine.moc"
