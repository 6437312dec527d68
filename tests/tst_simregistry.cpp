// SPDX-License-Identifier: GPL-3.0-or-later
#include <cstdlib>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "rendezvous/simregistry.h"

namespace {

// A pseudo-terminal pair held by this process, as a simulator holds its own.
struct Pty {
    Pty()
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0) {
            path = QString::fromLocal8Bit(::ptsname(master));
            slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        }
    }
    ~Pty()
    {
        closeSlave();
        if (master >= 0)
            ::close(master);
    }
    void closeSlave()
    {
        if (slave >= 0)
            ::close(slave);
        slave = -1;
    }
    int master = -1;
    int slave = -1;
    QString path;
};

// A TCP socket of this process listening on 127.0.0.1, as a TXT simulator's.
struct Listener {
    Listener()
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof sa;
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 && ::listen(fd, 1) == 0
            && ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &length) == 0)
            address = QString("127.0.0.1:%1").arg(ntohs(sa.sin_port));
    }
    ~Listener() { close(); }
    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    int fd = -1;
    QString address;
};

bool writeFile(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

pid_t deadPid()
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

} // namespace

// Which announced simulators the port search believes: only this user's, in
// a folder nobody else can write, from a process that still holds its pty or
// still listens on its address.
class TestSimRegistry : public QObject {
    Q_OBJECT
private slots:
    void cleanup();
    void entries_data();
    void entries();
    void announceRefusesSharedFolder_data();
    void announceRefusesSharedFolder();
};

void TestSimRegistry::cleanup()
{
    qunsetenv("KAVRIK_SIM_DIR");
}

void TestSimRegistry::entries_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("entry");
    QTest::addColumn<bool>("listed");
    QTest::addColumn<bool>("kept");
    QTest::newRow("a simulator holding its pty") << "private" << "held" << true << true;
    // One that hung up has closed it, and the number may now be a terminal's.
    QTest::newRow("a pty no longer held") << "private" << "released" << false << true;
    QTest::newRow("a device that is no pty") << "private" << "/dev/null" << false << true;
    QTest::newRow("a process that is gone") << "private" << "dead" << false << false;
    QTest::newRow("an entry that is a symlink") << "private" << "symlink" << false << true;
    QTest::newRow("a folder others may write") << "mode 0777" << "held" << false << true;
    QTest::newRow("a folder that is a symlink") << "symlink" << "held" << false << true;
    QTest::newRow("a folder of another user") << "other user" << "held" << false << true;
    QTest::newRow("an entry of another user") << "private" << "other user" << false << true;
    // A gigabyte behind a good first line: no announcement, and not read.
    QTest::newRow("an entry of a gigabyte") << "private" << "huge" << false << true;
    // A TXT simulator's address counts while it listens there.
    QTest::newRow("a TXT simulator listening") << "private" << "tcp listening" << true << true;
    QTest::newRow("a TXT simulator that stopped listening") << "private" << "tcp closed" << false << true;
    QTest::newRow("a TXT simulator that is gone") << "private" << "tcp dead" << false << false;
    QTest::newRow("an address another process listens on") << "private" << "tcp not held" << false << true;
    QTest::newRow("an address with port 0") << "private" << "tcp port 0" << false << true;
    QTest::newRow("a TXT address in a shared folder") << "mode 0777" << "tcp listening" << false << true;
}

void TestSimRegistry::entries()
{
    QFETCH(QString, folder);
    QFETCH(QString, entry);
    QFETCH(bool, listed);
    QFETCH(bool, kept);
    if ((folder == "other user" || entry == "other user") && ::geteuid() != 0)
        QSKIP("giving a file to a second user needs root");
    QTemporaryDir scratch;
    QVERIFY(scratch.isValid());
    QString dir = scratch.path() + "/sims";
    QVERIFY(QDir().mkdir(dir));
    QVERIFY(::chmod(dir.toUtf8().constData(), folder == "mode 0777" ? 0777 : 0700) == 0);
    if (folder == "other user")
        QVERIFY(::chown(dir.toUtf8().constData(), 65534, 65534) == 0);
    Pty pty;
    QVERIFY(pty.slave >= 0);
    Listener listener;
    QVERIFY(!listener.address.isEmpty());
    pid_t pid = ::getpid();
    const bool tcp = entry.startsWith("tcp ");
    QString target = tcp ? listener.address : pty.path;
    if (entry == "released")
        pty.closeSlave();
    else if (entry == "tcp closed")
        listener.close();
    else if (entry == "dead" || entry == "tcp dead")
        pid = deadPid();
    else if (entry == "tcp not held")
        pid = ::getppid();
    else if (entry == "tcp port 0")
        target = "127.0.0.1:0";
    else if (entry.startsWith('/'))
        target = entry;
    const QString file = dir + "/" + QString::number(pid) + ".port";
    if (entry == "symlink") {
        QVERIFY(writeFile(scratch.path() + "/elsewhere", target.toUtf8() + "\n"));
        QVERIFY(QFile::link(scratch.path() + "/elsewhere", file));
    } else {
        QVERIFY(writeFile(file, target.toUtf8() + "\n"));
    }
    if (entry == "other user")
        QVERIFY(::chown(file.toUtf8().constData(), 65534, 65534) == 0);
    if (entry == "huge")
        QVERIFY(::truncate(file.toUtf8().constData(), 1ll << 30) == 0);
    if (folder == "symlink") {
        QVERIFY(QFile::link(dir, scratch.path() + "/link"));
        dir = scratch.path() + "/link";
    }
    qputenv("KAVRIK_SIM_DIR", dir.toUtf8());

    std::vector<std::string> found = rendezvous::runningSimulators();
    const std::vector<std::string> txts = rendezvous::runningTxtSimulators();
    // Each kind only in its own list.
    QCOMPARE(found.size() + txts.size(), std::size_t(listed ? 1 : 0));
    QCOMPARE(txts.size(), std::size_t(listed && tcp ? 1 : 0));
    found.insert(found.end(), txts.begin(), txts.end());
    if (listed)
        QCOMPARE(QString::fromStdString(found[0]), target);
    QCOMPARE(QFileInfo::exists(file) || QFileInfo(file).isSymLink(), kept);
}

void TestSimRegistry::announceRefusesSharedFolder_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("otherUser");
    QTest::addColumn<bool>("announced");
    QTest::newRow("private folder") << 0700 << false << true;
    QTest::newRow("others may write") << 0777 << false << false;
    QTest::newRow("group may write") << 0770 << false << false;
    QTest::newRow("another user's folder") << 0700 << true << false;
}

void TestSimRegistry::announceRefusesSharedFolder()
{
    QFETCH(int, mode);
    QFETCH(bool, otherUser);
    QFETCH(bool, announced);
    if (otherUser && ::geteuid() != 0)
        QSKIP("giving a folder to a second user needs root");
    QTemporaryDir scratch;
    const QString dir = scratch.path() + "/sims";
    QVERIFY(QDir().mkdir(dir));
    QVERIFY(::chmod(dir.toUtf8().constData(), mode_t(mode)) == 0);
    if (otherUser)
        QVERIFY(::chown(dir.toUtf8().constData(), 65534, 65534) == 0);
    qputenv("KAVRIK_SIM_DIR", dir.toUtf8());
    Pty pty;
    std::string error;
    const std::string file = rendezvous::announceSimulator(pty.path.toStdString(), error);
    QCOMPARE(!file.empty(), announced);
    QCOMPARE(error.empty(), announced);
    rendezvous::withdrawSimulator(file);
}

QTEST_APPLESS_MAIN(TestSimRegistry)
#include "tst_simregistry.moc"
