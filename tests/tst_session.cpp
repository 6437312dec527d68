// SPDX-License-Identifier: GPL-3.0-or-later
#include <QtTest>

#include "protocol/codec.h"
#include "protocol/console.h"
#include "protocol/session.h"

using namespace protocol;

namespace {

// The reply answers the outstanding request.
bool answers(Session &s, const Frame &reply)
{
    return s.match(reply) == ReplyMatch::Answer;
}

Frame replyTo(const Frame &request, std::uint16_t tid, std::uint32_t command, std::uint16_t sid = 1)
{
    Frame reply;
    reply.from = kBusMaster;
    reply.to = kBusMaster;
    reply.tid = tid;
    reply.sid = sid;
    reply.command = command;
    (void)request;
    return reply;
}

} // namespace

// The host's session bookkeeping and the console probe on both sides.
class TestSession : public QObject {
    Q_OBJECT
private slots:
    void tidRunsAndWraps_data();
    void tidRunsAndWraps();
    void acceptsOnlyTheAnswer_data();
    void acceptsOnlyTheAnswer();
    void sidAdoptedNotChecked();
    void echoForms_data();
    void echoForms();
    void consoleAnswerRead_data();
    void consoleAnswerRead();
    void probeDetector_data();
    void probeDetector();
};

void TestSession::tidRunsAndWraps_data()
{
    QTest::addColumn<int>("sid");
    QTest::addColumn<int>("afterWrap");
    QTest::newRow("session 1") << 1 << 1;
    // TID 1 with SID 0 would start a new session, switching every output off.
    QTest::newRow("device keeping the session at 0") << 0 << 2;
}

void TestSession::tidRunsAndWraps()
{
    QFETCH(int, sid);
    QFETCH(int, afterWrap);
    Session s;
    QCOMPARE(s.request(kCmdEcho, 1, {}).tid, std::uint16_t(1));
    QVERIFY(answers(s, replyTo({}, 1, 101, std::uint16_t(sid))));
    QCOMPARE(s.request(kCmdInfo, 1, {}).tid, std::uint16_t(2));
    for (int i = 3; i < 0xFFFF; ++i)
        s.request(kCmdExchange, 1, {});
    QCOMPARE(s.request(kCmdExchange, 1, {}).tid, std::uint16_t(0xFFFF));
    const Frame wrapped = s.request(kCmdExchange, 1, {});
    QCOMPARE(wrapped.tid, std::uint16_t(afterWrap));
    QCOMPARE(wrapped.sid, std::uint16_t(sid));
    s.restart();
    const Frame first = s.request(kCmdEcho, 1, {});
    QCOMPARE(first.tid, std::uint16_t(1));
    QCOMPARE(first.sid, std::uint16_t(0));
    QCOMPARE(first.from, kBusMaster);
    QCOMPARE(first.to, kBusWildcard);
}

void TestSession::acceptsOnlyTheAnswer_data()
{
    QTest::addColumn<int>("tidDelta");
    QTest::addColumn<uint>("command");
    QTest::addColumn<int>("expected");
    QTest::newRow("matching reply") << 0 << 102u << int(ReplyMatch::Answer);
    QTest::newRow("stale TID") << -1 << 102u << int(ReplyMatch::Stale);
    QTest::newRow("future TID") << 1 << 102u << int(ReplyMatch::Stale);
    QTest::newRow("stale TID, other command") << -1 << 105u << int(ReplyMatch::Stale);
    QTest::newRow("wrong command") << 0 << 105u << int(ReplyMatch::WrongCommand);
    QTest::newRow("request code echoed back") << 0 << 2u << int(ReplyMatch::WrongCommand);
}

void TestSession::acceptsOnlyTheAnswer()
{
    QFETCH(int, tidDelta);
    QFETCH(uint, command);
    QFETCH(int, expected);
    const bool accepted = expected == int(ReplyMatch::Answer);
    Session s;
    s.request(kCmdExchange, 1, {});
    const Frame request = s.request(kCmdExchange, 1, {});
    const Frame reply = replyTo(request, static_cast<std::uint16_t>(request.tid + tidDelta), command, 5);
    QCOMPARE(int(s.match(reply)), expected);
    QCOMPARE(s.outstanding(), !accepted);
    // Only an answer brings its session id along.
    QCOMPARE(s.request(kCmdExchange, 1, {}).sid, std::uint16_t(accepted ? 5 : 0));
    s = Session();
    s.request(kCmdExchange, 1, {});
    s.request(kCmdExchange, 1, {});
    QCOMPARE(answers(s, reply), accepted);
    if (accepted) {
        // The same reply twice is a duplicate, not a second answer.
        QVERIFY(!answers(s, reply));
    }
}

void TestSession::sidAdoptedNotChecked()
{
    Session s;
    const Frame echo = s.request(kCmdEcho, 1, echoPayload());
    const Frame reply = replyTo(echo, 1, 101, 7);
    QVERIFY(answers(s, reply));
    const Frame next = s.request(kCmdInfo, 1, {});
    QCOMPARE(next.sid, std::uint16_t(7));
    QCOMPARE(next.tid, std::uint16_t(2));
    // Controllers differ in the SID they answer with; it is not a reason to
    // drop, and a new one is followed (a controller that restarted).
    QVERIFY(answers(s, replyTo(next, 2, 106, 9)));
    const Frame state = s.request(kCmdState, 1, {});
    QCOMPARE(state.sid, std::uint16_t(9));
    // An answer with SID 0 is followed as well.
    QVERIFY(answers(s, replyTo(state, state.tid, 107, 0)));
    QCOMPARE(s.request(kCmdInfo, 1, {}).sid, std::uint16_t(0));
}

void TestSession::echoForms_data()
{
    QTest::addColumn<uint>("items");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("form");
    QTest::newRow("empty, as the emulators answer") << 0u << QByteArray() << int(EchoReply::Empty);
    QTest::newRow("echoed, as a controller answers") << 1u << QByteArray("\0\0\0\0\1\2\3\4", 8) << int(EchoReply::Echoed);
    QTest::newRow("other payload") << 1u << QByteArray("\0\0\0\0\1\2\3\5", 8) << int(EchoReply::Other);
    QTest::newRow("payload without item count") << 0u << QByteArray("\0\0\0\0\1\2\3\4", 8) << int(EchoReply::Other);
}

void TestSession::echoForms()
{
    QFETCH(uint, items);
    QFETCH(QByteArray, payload);
    QFETCH(int, form);
    Session s;
    const Frame request = s.request(kCmdEcho, 1, echoPayload());
    Frame reply = replyTo(request, 1, 101);
    reply.items = items;
    reply.payload.assign(payload.begin(), payload.end());
    QVERIFY(answers(s, reply));
    QCOMPARE(int(classifyEcho(request, reply)), form);
}

void TestSession::consoleAnswerRead_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("chunk");
    QTest::addColumn<bool>("finished");
    QTest::addColumn<QString>("serial");
    const auto answer = protocol::consoleAnswer("ROBO TX-633", "1234567890");
    const QByteArray emulator(reinterpret_cast<const char *>(answer.data()), int(answer.size()));
    QTest::newRow("emulator answer") << emulator << 1000 << true << "1234567890";
    QTest::newRow("emulator answer byte by byte") << emulator << 1 << true << "1234567890";
    QTest::newRow("digits before the echo are not the serial")
        << QByteArray("\r\n4711\r\nROBO TX-1/USB>get_ser_num\r\nabc\r\n0042\r\nROBO TX-1/USB>") << 5 << true << "0042";
    // The closing prompt ends the answer, so the open does not wait its
    // whole second for a serial number that will not come.
    QTest::newRow("no serial line") << QByteArray("\r\nROBO TX-1/USB>get_ser_num\r\nERROR\r\nROBO TX-1/USB>") << 1000
                                    << true << "";
    QTest::newRow("serial with letters")
        << QByteArray("\r\nROBO TX-1/BT>get_ser_num\r\n0A1B2C3D4E5F\r\nROBO TX-1/BT>") << 3 << true << "0A1B2C3D4E5F";
    QTest::newRow("words are no serial")
        << QByteArray("\r\nROBO TX-1/USB>get_ser_num\r\nUnknown command\r\nNoSerial\r\n77X\r\nROBO TX-1/USB>") << 1000
        << true << "77X";
    QTest::newRow("overlong line is no serial")
        << QByteArray("\r\n>get_ser_num\r\n") + QByteArray(40, '7') + QByteArray("\r\n12\r\n>") << 1000 << true << "12";
    QTest::newRow("prompt before the echo ends nothing") << QByteArray("\r\nROBO TX-1/USB>") << 1000 << false << "";
    QTest::newRow("nothing but noise") << QByteArray("\x02\x55\x00\x14\r\n>>>\r\n") << 1000 << false << "";
}

void TestSession::consoleAnswerRead()
{
    QFETCH(QByteArray, text);
    QFETCH(int, chunk);
    QFETCH(bool, finished);
    QFETCH(QString, serial);
    ConsoleAnswerParser parser;
    for (int i = 0; i < text.size(); i += chunk)
        parser.feed(reinterpret_cast<const std::uint8_t *>(text.constData()) + i, std::size_t(qMin(chunk, text.size() - i)));
    QCOMPARE(parser.finished(), finished);
    QCOMPARE(QString::fromStdString(parser.serial()), serial);
}

void TestSession::probeDetector_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("probes");
    const auto probe = consoleProbe();
    const QByteArray p(reinterpret_cast<const char *>(probe.data()), int(probe.size()));
    QCOMPARE(p, QByteArray("\rget_ser_num\r"));
    QTest::newRow("probe") << p << 1;
    QTest::newRow("after an extra CR") << QByteArray("\r") + p << 1;
    QTest::newRow("between frame bytes") << QByteArray("\x02\x55\x00\x0d", 4) + p + QByteArray("\x03\x0d", 2) << 1;
    QTest::newRow("twice in a row") << p + p << 2;
    QTest::newRow("misspelt") << QByteArray("\rget_ser_nun\r") << 0;
    QTest::newRow("without leading CR") << QByteArray("get_ser_num\r") << 0;
}

void TestSession::probeDetector()
{
    QFETCH(QByteArray, stream);
    QFETCH(int, probes);
    ConsoleProbeDetector detector;
    int found = 0;
    for (char c : stream)
        found += detector.feed(static_cast<std::uint8_t>(c)) ? 1 : 0;
    QCOMPARE(found, probes);
}

QTEST_APPLESS_MAIN(TestSession)
#include "tst_session.moc"
