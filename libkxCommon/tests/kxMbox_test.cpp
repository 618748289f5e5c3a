// Mailboxes on real message queues. The test main runs in a private IPC
// namespace with fs.mqueue.msg_max at 64, so every queue made here is the
// test's own. Cases that must end the process run in a forked child.
#include "kxLog.h"
#include "kxMbox.h"
#include "kxtest.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t kStdout = 0x40000000;
const std::string kStamp = R"([A-Z][a-z]{2}\d\d \d\d:\d\d:\d\d )";
const std::string kSource = R"(libkxCommon/src/kxMbox\.cpp)";

std::string reEscape(const std::string &text)
{
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

// One whole log line on standard output: "[%16s:%4d] " and the message.
std::string logLine(const std::string &func, const std::string &text)
{
    std::string pad(func.size() < 16 ? 16 - func.size() : 0, ' ');
    return kStamp + reEscape("[" + pad + func + ":") + R"([ \d]{3}\d)" + reEscape("] " + text);
}

bool has(const std::string &out, const std::string &re) { return std::regex_search(out, std::regex(re)); }
std::string assertLine(const std::string &func, const std::string &cond)
{
    return kStamp + reEscape("\033[31mASSERT:") + kSource + "/" + func + R"(:\d+:)" + reEscape(cond + "\n\033[0m");
}

std::vector<char> pattern(size_t n, int seed)
{
    std::vector<char> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<char>(i * 7 + static_cast<size_t>(seed));
    return bytes;
}

struct mq_attr attrOf(const char *name)
{
    struct mq_attr attr {};
    mqd_t q = mq_open(name, O_RDONLY);
    EXPECT_NE(q, static_cast<mqd_t>(-1)) << name << ": " << strerror(errno);
    mq_getattr(q, &attr);
    mq_close(q);
    return attr;
}

int openDescriptors()
{
    int n = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (dir != nullptr && readdir(dir) != nullptr)
        ++n;
    closedir(dir);
    return n;
}

// Without CAP_SYS_RESOURCE the kernel holds queue creation to msg_max.
bool dropSysResource()
{
    __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &head, data) != 0)
        return false;
    data[CAP_SYS_RESOURCE / 32].effective &= ~(1u << (CAP_SYS_RESOURCE % 32));
    return syscall(SYS_capset, &head, data) == 0;
}

// Every case gets a mailbox named after it, a receiver and a sender on it.
class Mbox : public ::testing::Test {
protected:
    void SetUp() override
    {
        name_ = std::string("/kxt_") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        mq_unlink(name());
        // Garbage where the operations must store their own values.
        memset(&rx, 0xA5, sizeof rx);
        memset(&tx, 0xA5, sizeof tx);
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
    EXPECT_EQ(tx.name, name());
    EXPECT_EQ(tx.attr.mq_flags, 0);
    EXPECT_EQ(tx.attr.mq_maxmsg, 40);
    EXPECT_EQ(tx.attr.mq_msgsize, 1500);
    EXPECT_EQ(tx.attr.mq_curmsgs, 0);
    const size_t sizes[] = {1, 700, 1500};
    for (int i = 0; i < 3; ++i) {
        std::vector<char> msg = pattern(sizes[i], i);
        EXPECT_EQ(kxMbox_send(msg.data(), static_cast<int>(sizes[i]), &tx), 0);
        EXPECT_EQ(tx.attr.mq_maxmsg, 10) << "the queue's own maximum replaces the preset";
        EXPECT_EQ(tx.attr.mq_curmsgs, i) << "count as read before this send";
    }
    for (int i = 0; i < 3; ++i) {
        std::vector<char> buf(1500, 0);
        ASSERT_EQ(snkxMbox_receive(buf.data(), 1500, &rx), static_cast<int>(sizes[i]));
        buf.resize(sizes[i]);
        EXPECT_EQ(buf, pattern(sizes[i], i)) << "message " << i;
    }
}

TEST_F(Mbox, MessageOf1501BytesEndsTheProcessUnsent)
{
    open(KXMSG_MAX_COUNT_LG);
    kxtest::expectAssertion([&] {
        std::vector<char> msg(1501, 'x');
        kxMbox_send(msg.data(), 1501, &tx);
    }, kSource, "kxMbox_send", "len <= KXMSG_MAX");
    EXPECT_EQ(attrOf(name()).mq_curmsgs, 0);
}

// None is a broken mailbox, so none ends the process; each lost message
// is logged.
TEST_F(Mbox, RefusedSendsReturnMinusOneAndLogOneLineEach)
{
    ASSERT_EQ(kxMbox_rxopen_ext(name(), KXMSG_MAX_COUNT_SM, 64, &rx), 0);
    ASSERT_EQ(kxMbox_txopen(name(), &tx), 0);
    g_debug_level |= kStdout;
    std::vector<char> msg(65, 'm');
    const struct {
        int len;
        kxMbox_t *box;
        int err;
        const char *logged;
    } refused[] = {{-1, &tx, EINVAL, "len=-1 errno=Invalid argument\n"},
                   {65, &tx, EMSGSIZE, "len=65 errno=Message too long\n"},
                   {10, &rx, EBADF, "len=10 errno=Bad file descriptor\n"}};
    for (const auto &r : refused) {
        kxtest::FdCapture out;
        EXPECT_EQ(kxMbox_send(msg.data(), r.len, r.box), -1) << r.len;
        EXPECT_EQ(errno, r.err) << r.len;
        std::string text = out.stop();
        EXPECT_TRUE(has(text, "^" + logLine("kxMbox_send", "mbox=" + name_ + " " + r.logged) + "$")) << text;
    }
    EXPECT_EQ(attrOf(name()).mq_curmsgs, 0);
}

// A full mailbox is never waited on: the child that sends once more than
// the maximum logs and ends, and the message is not queued.
TEST_F(Mbox, FullMailboxLogsItsNameAndMaximumThenEnds)
{
    open(KXMSG_MAX_COUNT_LG);
    auto child = kxtest::runChild([&] {
        alarm(10); // a send that waits on the full queue would hang here
        g_debug_level |= kStdout;
        for (long i = 0; i < KXMSG_MAX_COUNT_LG; ++i)
            if (kxMbox_send("full", 4, &tx) != 0)
                _exit(3);
        printf("#");
        kxMbox_send("full", 4, &tx);
    });
    EXPECT_EQ(child.exitCode, 255);
    EXPECT_EQ(attrOf(name()).mq_curmsgs, KXMSG_MAX_COUNT_LG);
    EXPECT_TRUE(has(child.out, "#" + logLine("kxMbox_send", "Mailbox Full: mbox=" + name_ + " >= 40 messages\n") +
                                   assertLine("kxMbox_send", "(kxattr->attr.mq_curmsgs) < kxattr->attr.mq_maxmsg") + "$"))
        << child.out;
}

TEST_F(Mbox, TxopenOfMissingMailboxFailsAndLogs)
{
    g_debug_level |= kStdout;
    kxtest::FdCapture out;
    EXPECT_EQ(kxMbox_txopen(name(), &tx), -1);
    int err = errno;
    std::string text = out.stop();
    EXPECT_EQ(err, ENOENT);
    EXPECT_EQ(tx.mqd, static_cast<mqd_t>(-1));
    EXPECT_TRUE(has(text, "^" + logLine("kxMbox_txopen", "mbox=" + name_ + " errno=No such file or directory\n") + "$"))
        << text;
    EXPECT_EQ(mq_open(name(), O_RDONLY), static_cast<mqd_t>(-1)) << "a sender must not create the mailbox";
}

// Another message size is named with the way out; another count alone is
// normal and logs nothing.
TEST_F(Mbox, ExistingMailboxKeepsTheCountAndSizeItWasMadeWith)
{
    kxMbox_t second, third;
    ASSERT_EQ(kxMbox_rxopen(name(), KXMSG_MAX_COUNT_MD, &rx), 0);
    g_debug_level |= kStdout;
    kxtest::FdCapture out;
    EXPECT_EQ(kxMbox_rxopen_ext(name(), KXMSG_MAX_COUNT_LG, 200, &second), 0);
    EXPECT_EQ(kxMbox_rxopen(name(), KXMSG_MAX_COUNT_LG, &third), 0);
    std::string text = out.stop();
    EXPECT_TRUE(has(text, "^" +
                              logLine("kxMbox_rxopen_ext", "mbox=" + name_ +
                                                               " has msgsize=1500 maxmsg=10, not msgsize=200; "
                                                               "remove it: rm /dev/mqueue" + name_ + "\n") +
                              "$"))
        << text;
    struct mq_attr attr = attrOf(name());
    EXPECT_EQ(attr.mq_maxmsg, 10);
    EXPECT_EQ(attr.mq_msgsize, 1500);
    for (kxMbox_t *box : {&rx, &second, &third})
        kxMbox_close(box);
}

TEST_F(Mbox, CreateTwiceSucceedsAndKeepsNoDescriptor)
{
    int before = openDescriptors();
    EXPECT_EQ(kxMbox_create(name(), KXMSG_MAX_COUNT_LG), 0);
    EXPECT_EQ(kxMbox_create(name(), KXMSG_MAX_COUNT_LG), 0);
    EXPECT_EQ(openDescriptors(), before);
    struct mq_attr attr = attrOf(name());
    EXPECT_EQ(attr.mq_maxmsg, 40);
    EXPECT_EQ(attr.mq_msgsize, 1500);
}

// The caller learns the real cause from errno, not that of a clean-up.
TEST_F(Mbox, CreateBeyondTheSystemLimitFailsWithItsCause)
{
    ASSERT_TRUE(kxtest::setMsgMax(10));
    auto child = kxtest::runChild([&] {
        if (!dropSysResource())
            _exit(2);
        g_debug_level |= kStdout;
        int large = kxMbox_create(name(), KXMSG_MAX_COUNT_LG);
        int err = errno;
        int open = kxMbox_rxopen(name(), KXMSG_MAX_COUNT_LG, &rx);
        int medium = kxMbox_create(name(), KXMSG_MAX_COUNT_MD);
        printf("large=%d errno=%d open=%d mqd=%d medium=%d\n", large, err, open, static_cast<int>(rx.mqd), medium);
    });
    kxtest::setMsgMax(kxtest::kSandboxMsgMax);
    ASSERT_EQ(child.exitCode, 0);
    EXPECT_TRUE(has(child.out, "large=-1 errno=" + std::to_string(EINVAL) + " open=-1 mqd=-1 medium=0\n"))
        << child.out;
    EXPECT_TRUE(has(child.out, "^" + logLine("kxMbox_rxopen_ext", "mbox=" + name_ + " errno=Invalid argument\n")))
        << child.out;
}

TEST_F(Mbox, TimedReceiveWaitsGTimedreceiveSeconds)
{
    using namespace std::chrono;
    EXPECT_EQ(g_timedreceive, 10);
    open(KXMSG_MAX_COUNT_MD);
    g_timedreceive = 1;
    std::vector<char> buf(1500, 0);
    auto start = steady_clock::now();
    EXPECT_EQ(kxMbox_timedreceive(buf.data(), 1500, &rx), -1);
    auto waited = steady_clock::now() - start;
    EXPECT_GE(waited, milliseconds(950));
    EXPECT_LT(waited, seconds(5));

    std::vector<char> msg = pattern(321, 5);
    ASSERT_EQ(kxMbox_send(msg.data(), 0, &tx), 0);
    ASSERT_EQ(kxMbox_send(msg.data(), 321, &tx), 0);
    EXPECT_EQ(kxMbox_timedreceive(buf.data(), 1500, &rx), 0) << "an empty message is a message";
    EXPECT_EQ(kxMbox_timedreceive(buf.data(), 1499, &rx), -2) << "buffer below the message size";
    EXPECT_EQ(kxMbox_timedreceive(buf.data(), 1500, &rx), 321);
    buf.resize(321);
    EXPECT_EQ(buf, msg);
}

TEST_F(Mbox, ReceiveIntoBufferBelowMessageSizeEndsTheProcess)
{
    open(KXMSG_MAX_COUNT_MD);
    ASSERT_EQ(kxMbox_send("hello", 5, &tx), 0);
    for (int size : {1499, -1})
        kxtest::expectAssertion([&] {
            char buf[1500];
            snkxMbox_receive(buf, size, &rx);
        }, kSource, "snkxMbox_receive", reEscape("(len = mq_receive(kxattr->mqd, buf, size, NULL)) >= 0"));
    EXPECT_EQ(attrOf(name()).mq_curmsgs, 1);
}

TEST_F(Mbox, CloseLeavesTheRecordUnlinkRemovesWhateverIsThere)
{
    EXPECT_EQ(kxMbox_unlink(name()), 0);
    ASSERT_EQ(kxMbox_rxopen(name(), KXMSG_MAX_COUNT_SM, &rx), 0);
    mqd_t mqd = rx.mqd;
    EXPECT_EQ(kxMbox_close(&rx), 0);
    EXPECT_EQ(rx.mqd, mqd);
    EXPECT_EQ(kxMbox_close(&rx), -1);
    EXPECT_EQ(kxMbox_unlink(name()), 0);
    EXPECT_EQ(mq_open(name(), O_RDONLY), static_cast<mqd_t>(-1));
}

} // namespace
