// Mailboxes on real message queues. The test main runs in a private IPC
// namespace with fs.mqueue.msg_max at 64, so every queue made here is the
// test's own. Cases that must end the process run in a forked child.
#include "kxLog.h"
#include "kxMbox.h"
#include "kxdaemon.h"
#include "kxtest.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char *const kSource = "libkxCommon/src/kxMbox\\.cpp";

// Every case gets a mailbox named after it and two records filled with
// garbage where the operations must store their own values. Log lines go
// to standard output.
class Mbox : public ::testing::Test {
protected:
    void SetUp() override
    {
        name_ = std::string("/kxt_") +
                testing::UnitTest::GetInstance()->current_test_info()->name();
        mq_unlink(name());
        memset(&rx, 0xA5, sizeof rx);
        memset(&tx, 0xA5, sizeof tx);
        g_debug_level |= KX_DBG_STDOUT;
    }
    void TearDown() override
    {
        mq_unlink(name());
        g_debug_level = KX_DEBUG_LEVEL_INIT;
        g_timedreceive = 10;
    }
    const char *name() const { return name_.c_str(); }
    void open(long count)
    {
        ASSERT_EQ(kxMbox_rxopen(name(), count, &rx), 0);
        ASSERT_EQ(kxMbox_txopen(name(), &tx), 0);
    }

    std::string name_;
    kxMbox_t rx, tx;
};

TEST_F(Mbox, MessagesArriveWholeAndInOrderAndSendReadsRealAttributes)
{
    mode_t mask = umask(0);
    open(KXMSG_MAX_COUNT_MD);
    umask(mask);
    struct stat st {};
    ASSERT_EQ(fstat(rx.mqd, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0664u);
    for (mqd_t q : {rx.mqd, tx.mqd})
        EXPECT_EQ(fcntl(q, F_GETFL) & O_NONBLOCK, 0);
    const long preset[] = {tx.attr.mq_flags, tx.attr.mq_maxmsg, tx.attr.mq_msgsize,
                           tx.attr.mq_curmsgs};
    EXPECT_EQ(std::vector<long>(preset, preset + 4), (std::vector<long>{0, 40, 1500, 0}));
    const size_t sizes[] = {0, 700, 1500};
    for (int i = 0; i < 3; ++i) {
        std::string msg(sizes[i], static_cast<char>('a' + i));
        EXPECT_EQ(kxMbox_send(msg.data(), static_cast<int>(sizes[i]), &tx), 0);
        EXPECT_EQ(tx.attr.mq_maxmsg, 10) << "the queue's own maximum replaces the preset";
        EXPECT_EQ(tx.attr.mq_curmsgs, i) << "count as read before this send";
    }
    for (int i = 0; i < 3; ++i) {
        char buf[1500];
        ASSERT_EQ(snkxMbox_receive(buf, 1500, &rx), static_cast<int>(sizes[i]));
        EXPECT_EQ(std::string(buf, sizes[i]), std::string(sizes[i], static_cast<char>('a' + i)));
    }
}

// Neither a message over 1500 bytes nor one more than a full mailbox holds
// is sent, nor waited for: the process ends.
TEST_F(Mbox, OversizedOrOneTooManyEndsTheProcessUnsent)
{
    open(KXMSG_MAX_COUNT_LG);
    char msg[1501] = {};
    kxtest::expectAssertion([&] { kxMbox_send(msg, 1501, &tx); }, kSource, "kxMbox_send",
                            "len <= KXMSG_MAX");
    for (long i = 0; i < KXMSG_MAX_COUNT_LG; ++i)
        ASSERT_EQ(kxMbox_send(msg, 4, &tx), 0);
    kxtest::expectAssertion([&] {
        alarm(10); // a send that waits on the full queue would hang here
        kxMbox_send(msg, 4, &tx);
    }, kSource, "kxMbox_send", "\\(kxattr->attr.mq_curmsgs\\) < kxattr->attr.mq_maxmsg");
    EXPECT_EQ(kxtest::mailboxAttr(name_).value().mq_curmsgs, KXMSG_MAX_COUNT_LG);
}

// None of them is a broken mailbox, so none ends the process, but each is
// logged; so is a mailbox found with messages of another size, which is
// kept as it is.
TEST_F(Mbox, RefusedSendsReturnMinusOne)
{
    ASSERT_EQ(kxMbox_rxopen_ext(name(), KXMSG_MAX_COUNT_SM, 64, &rx), 0);
    ASSERT_EQ(kxMbox_txopen(name(), &tx), 0);
    kxtest::FdCapture out;
    std::vector<char> msg(65, 'm');
    EXPECT_EQ(kxMbox_send(msg.data(), 65, &tx), -1) << "longer than the queue's messages";
    EXPECT_EQ(kxMbox_send(msg.data(), -1, &tx), -1) << "negative length";
    EXPECT_EQ(kxMbox_send(msg.data(), 10, &rx), -1) << "a record opened for receiving";
    EXPECT_EQ(kxtest::mailboxAttr(name_).value().mq_curmsgs, 0);
    EXPECT_EQ(kxMbox_create(name(), KXMSG_MAX_COUNT_SM), 0);
    std::string text = out.stop();
    EXPECT_NE(text.find("mbox=" + name_ + " len=65 errno=Message too long\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("mbox=" + name_ + " has msgsize=64 maxmsg="), std::string::npos);
    EXPECT_NE(text.find(", not msgsize=1500; remove it: rm /dev/mqueue" + name_ + "\n"),
              std::string::npos);
}

// Each failed open logs the name with the system's text for the cause and
// leaves the cause in errno, also after a failed create has cleaned up.
TEST_F(Mbox, FailedOpensLogTheirCause)
{
    kxtest::FdCapture out;
    EXPECT_EQ(kxMbox_txopen(name(), &tx), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(kxMbox_rxopen("kxt_bad_name", KXMSG_MAX_COUNT_MD, &rx), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(kxMbox_create("kxt_bad_name", KXMSG_MAX_COUNT_MD), -1);
    EXPECT_EQ(errno, EINVAL);
    std::string text = out.stop();
    EXPECT_EQ(tx.mqd, static_cast<mqd_t>(-1));
    EXPECT_EQ(rx.mqd, static_cast<mqd_t>(-1));
    EXPECT_NE(text.find("mbox=" + name_ + " errno=No such file or directory\n"), std::string::npos);
    EXPECT_NE(text.find("mbox=kxt_bad_name errno=Invalid argument\n"), std::string::npos) << text;
    EXPECT_EQ(mq_open(name(), O_RDONLY), static_cast<mqd_t>(-1)) << "a sender creates none";
}

// Opening an existing mailbox is a success like any other, logged nowhere;
// the queue keeps the count it was made with.
TEST_F(Mbox, ExistingMailboxKeepsItsCountAndSize)
{
    int next = dup(0);
    close(next);
    EXPECT_EQ(kxMbox_create(name(), KXMSG_MAX_COUNT_MD), 0);
    EXPECT_EQ(kxMbox_create(name(), KXMSG_MAX_COUNT_LG), 0);
    EXPECT_EQ(dup(0), next) << "create keeps no descriptor";
    kxtest::FdCapture out;
    EXPECT_EQ(kxMbox_rxopen(name(), KXMSG_MAX_COUNT_LG, &rx), 0);
    EXPECT_EQ(out.stop(), "");
    mq_attr attr = kxtest::mailboxAttr(name_).value();
    EXPECT_EQ(attr.mq_maxmsg, 10);
    EXPECT_EQ(attr.mq_msgsize, 1500);
    EXPECT_EQ(kxMbox_unlink(name()), 0);
    EXPECT_EQ(mq_open(name(), O_RDONLY), static_cast<mqd_t>(-1));
    EXPECT_EQ(kxMbox_unlink(name()), 0);
}

TEST_F(Mbox, TimedReceiveWaitsGTimedreceiveSeconds)
{
    using namespace std::chrono;
    EXPECT_EQ(g_timedreceive, 10);
    open(KXMSG_MAX_COUNT_MD);
    g_timedreceive = 1;
    char buf[1500];
    auto start = steady_clock::now();
    EXPECT_EQ(kxMbox_timedreceive(buf, 1500, &rx), -1);
    EXPECT_GE(steady_clock::now() - start, milliseconds(950));

    std::string msg(321, 'm');
    ASSERT_EQ(kxMbox_send(msg.data(), 0, &tx), 0);
    ASSERT_EQ(kxMbox_send(msg.data(), 321, &tx), 0);
    EXPECT_EQ(kxMbox_timedreceive(buf, 1500, &rx), 0) << "an empty message is a message";
    EXPECT_EQ(kxMbox_timedreceive(buf, 1499, &rx), -2) << "buffer below the message size";
    EXPECT_EQ(kxMbox_timedreceive(buf, 1500, &rx), 321);
    EXPECT_EQ(std::string(buf, 321), msg);
}

// g_timedreceive keeps its 10 seconds: an empty mailbox must not wait them.
TEST_F(Mbox, TryReceiveTakesWhatIsThereAndNeverWaits)
{
    using namespace std::chrono;
    open(KXMSG_MAX_COUNT_MD);
    char buf[1500];
    auto start = steady_clock::now();
    EXPECT_EQ(snkxMbox_tryreceive(buf, 1500, &rx), -1) << "empty";
    EXPECT_LT(steady_clock::now() - start, milliseconds(500));
    EXPECT_EQ(g_timedreceive, 10);

    std::string msg(123, 't');
    ASSERT_EQ(kxMbox_send(msg.data(), 123, &tx), 0);
    EXPECT_EQ(snkxMbox_tryreceive(buf, 1499, &rx), -2) << "buffer below the message size";
    EXPECT_EQ(snkxMbox_tryreceive(buf, 1500, &rx), 123);
    EXPECT_EQ(std::string(buf, 123), msg);
    EXPECT_EQ(snkxMbox_tryreceive(buf, 1500, &rx), -1) << "empty again";
}

// A buffer smaller than the queue's message size, down to none at all.
TEST_F(Mbox, ReceiveIntoBufferBelowMessageSizeEndsTheProcess)
{
    ASSERT_EQ(kxMbox_rxopen_ext(name(), KXMSG_MAX_COUNT_SM, 1, &rx), 0);
    ASSERT_EQ(kxMbox_txopen(name(), &tx), 0);
    ASSERT_EQ(kxMbox_send("h", 1, &tx), 0);
    for (int size : {0, -1})
        kxtest::expectAssertion([&] {
            char buf[8];
            snkxMbox_receive(buf, size, &rx);
        }, kSource, "snkxMbox_receive",
           "\\(len = mq_receive\\(kxattr->mqd, buf, size, NULL\\)\\) >= 0");
    EXPECT_EQ(kxtest::mailboxAttr(name_).value().mq_curmsgs, 1);
}

} // namespace
