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
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t kStdout = 0x40000000;
constexpr uint32_t kLevelMask = 0xFF;
constexpr int kAssertExit = 255; // exit(-1)
constexpr int kLogDebug = 7;
const std::string kStamp = R"([A-Z][a-z]{2}\d\d \d\d:\d\d:\d\d )";

std::string reEscape(const std::string &text)
{
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

// "[%16s:%4d] " and the message; the line number is whatever it is.
std::string logLine(const std::string &func, const std::string &text)
{
    std::string pad(func.size() < 16 ? 16 - func.size() : 0, ' ');
    return reEscape("[" + pad + func + ":") + R"([ \d]{3}\d)" + reEscape("] " + text);
}

// The report of a failed assertion in the mailbox source, as the last
// thing on standard output.
std::regex assertReport(const std::string &func, const std::string &cond)
{
    return std::regex("(^|\n)" + kStamp +
                      reEscape("\033[31mASSERT:libkxCommon/src/kxMbox.cpp/" + func + ":") +
                      R"(\d+)" + reEscape(":" + cond + "\n\033[0m") + "$");
}

bool has(const std::string &out, const std::string &re)
{
    return std::regex_search(out, std::regex(re));
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

// The first drain starts the thread that receives syslog lines. A fork
// while that thread is still starting can leave the sanitizer's allocator
// locked in the child, so a line of our own goes through before any child.
void syslogReady()
{
    syslog(LOG_DEBUG, "receiver ready");
    kxtest::syslogDrain();
}

class Mbox : public ::testing::Test {
protected:
    void SetUp() override
    {
        name_ = std::string("/kxt_") +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        mq_unlink(name());
    }

    void TearDown() override
    {
        mq_unlink(name());
        g_debug_level = KX_DEBUG_LEVEL_INIT;
        g_timedreceive = 10;
    }

    const char *name() const { return name_.c_str(); }

    // A child that fills the mailbox to count and then sends once more.
    kxtest::ChildResult overfill(long count, uint32_t level)
    {
        kxMbox_t rx;
        EXPECT_EQ(kxMbox_rxopen(name(), count, &rx), 0);
        auto child = kxtest::runChild([&] {
            alarm(10); // a send that waits on the full queue would hang here
            g_debug_level = (g_debug_level & ~kLevelMask) | level;
            kxMbox_t tx;
            if (kxMbox_txopen(name(), &tx) != 0)
                _exit(2);
            std::vector<char> msg = pattern(100, 1);
            for (long i = 0; i < count; ++i)
                if (kxMbox_send(msg.data(), 100, &tx) != 0)
                    _exit(3);
            kxMbox_send(msg.data(), 100, &tx);
        });
        EXPECT_EQ(attrOf(name()).mq_curmsgs, count) << "the last message was queued";
        kxMbox_close(&rx);
        return child;
    }

    std::string name_;
};

TEST_F(Mbox, MessagesArriveWholeAndInOrderAndSendReadsRealAttributes)
{
    kxMbox_t rx, tx;
    ASSERT_EQ(kxMbox_rxopen(name(), KXMSG_MAX_COUNT_MD, &rx), 0);
    ASSERT_EQ(kxMbox_txopen(name(), &tx), 0);
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
    EXPECT_EQ(kxMbox_close(&tx), 0);
    EXPECT_EQ(kxMbox_close(&rx), 0);
}

TEST_F(Mbox, MessageOf1501BytesEndsTheProcessUnsent)
{
    kxMbox_t rx;
    ASSERT_EQ(kxMbox_rxopen(name(), KXMSG_MAX_COUNT_LG, &rx), 0);
    auto child = kxtest::runChild([&] {
        g_debug_level |= kStdout;
        kxMbox_t tx;
        std::vector<char> msg(1501, 'x');
        if (kxMbox_txopen(name(), &tx) == 0)
            kxMbox_send(msg.data(), 1501, &tx);
    });
    EXPECT_EQ(child.exitCode, kAssertExit);
    EXPECT_TRUE(std::regex_search(child.out, assertReport("kxMbox_send", "len <= KXMSG_MAX")))
        << child.out;
    EXPECT_EQ(attrOf(name()).mq_curmsgs, 0);
}

// None is a broken mailbox, so none ends the process; each lost message
// is logged.
TEST_F(Mbox, RefusedSendsReturnMinusOneAndLogOneLineEach)
{
    kxMbox_t rx, tx;
    ASSERT_EQ(kxMbox_rxopen_ext(name(), KXMSG_MAX_COUNT_SM, 64, &rx), 0);
    ASSERT_EQ(kxMbox_txopen(name(), &tx), 0);
    g_debug_level |= kStdout;
    std::vector<char> msg(65, 'm');
    kxtest::FdCapture out;
    EXPECT_EQ(kxMbox_send(msg.data(), -1, &tx), -1) << "negative length";
    EXPECT_EQ(errno, EINVAL) << "a caller's error, not a message too long";
    EXPECT_EQ(kxMbox_send(msg.data(), 65, &tx), -1) << "longer than this queue's size";
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(kxMbox_send(msg.data(), 10, &rx), -1) << "descriptor opened for reading";
    EXPECT_EQ(errno, EBADF);
    std::string expected = "^";
    for (const char *sent : {"len=-1 errno=Invalid argument\n", "len=65 errno=Message too long\n",
                             "len=10 errno=Bad file descriptor\n"})
        expected += kStamp + logLine("kxMbox_send", "mbox=" + name_ + " " + sent);
    std::string text = out.stop();
    EXPECT_TRUE(has(text, expected + "$")) << text;
    EXPECT_EQ(attrOf(name()).mq_curmsgs, 0);
    kxMbox_close(&tx);
    kxMbox_close(&rx);
}

TEST_F(Mbox, FullLargeMailboxLogsItsNameAndMaximumThenEnds)
{
    auto child = overfill(KXMSG_MAX_COUNT_LG, 32 | kStdout);
    EXPECT_EQ(child.exitCode, kAssertExit);
    EXPECT_TRUE(has(child.out, "^" + kStamp +
                                   logLine("kxMbox_send", "Mailbox Full: mbox=" + name_ +
                                                              " >= 40 messages\n") +
                                   kStamp + "\033"))
        << child.out;
    EXPECT_TRUE(std::regex_search(
        child.out,
        assertReport("kxMbox_send", "(kxattr->attr.mq_curmsgs) < kxattr->attr.mq_maxmsg")))
        << child.out;
}

TEST_F(Mbox, FullMailboxAtTheInitialLevelGoesToSyslogOnly)
{
    syslogReady();
    auto child = overfill(KXMSG_MAX_COUNT_LG, 32);
    EXPECT_EQ(child.exitCode, kAssertExit);
    EXPECT_EQ(child.out, "");
    bool full = false, report = false;
    for (const auto &line : kxtest::syslogDrain()) {
        EXPECT_EQ(line.priority % 8, kLogDebug) << line.message;
        full |= has(line.message, "^" + logLine("kxMbox_send", "Mailbox Full: mbox=" +
                                                                   name_ + " >= 40 messages"));
        report |= line.message.find("ASSERT:libkxCommon/src/kxMbox.cpp/kxMbox_send:") !=
                  std::string::npos;
    }
    EXPECT_TRUE(full);
    EXPECT_TRUE(report);
}

// The warning has threshold 15 and the report 7: at level 15 only the
// report is written, and the process ends all the same.
TEST_F(Mbox, FullMailboxAtLevel15EndsWithTheReportAlone)
{
    auto child = overfill(KXMSG_MAX_COUNT_SM, 15 | kStdout);
    EXPECT_EQ(child.exitCode, kAssertExit);
    EXPECT_FALSE(has(child.out, "Mailbox Full")) << child.out;
    EXPECT_TRUE(has(child.out, "ASSERT:libkxCommon/src/kxMbox\\.cpp/kxMbox_send:")) << child.out;
}

TEST_F(Mbox, TxopenOfMissingMailboxFailsAndLogs)
{
    g_debug_level |= kStdout;
    kxMbox_t tx;
    kxtest::FdCapture out;
    EXPECT_EQ(kxMbox_txopen(name(), &tx), -1);
    int err = errno;
    std::string text = out.stop();
    EXPECT_EQ(err, ENOENT);
    EXPECT_EQ(tx.mqd, static_cast<mqd_t>(-1));
    EXPECT_TRUE(has(text, "^" + kStamp +
                              logLine("kxMbox_txopen",
                                      "mbox=" + name_ + " errno=No such file or directory\n") +
                              "$"))
        << text;
    EXPECT_EQ(mq_open(name(), O_RDONLY), static_cast<mqd_t>(-1))
        << "a sender must not create the mailbox";
    EXPECT_EQ(errno, ENOENT);
}

// Another message size is named with the way out; another count alone is
// normal and logs nothing.
TEST_F(Mbox, ExistingMailboxKeepsTheCountAndSizeItWasMadeWith)
{
    kxMbox_t first, second, third;
    ASSERT_EQ(kxMbox_rxopen(name(), KXMSG_MAX_COUNT_MD, &first), 0);
    g_debug_level |= kStdout;
    kxtest::FdCapture out;
    EXPECT_EQ(kxMbox_rxopen_ext(name(), KXMSG_MAX_COUNT_LG, 200, &second), 0);
    EXPECT_EQ(kxMbox_rxopen(name(), KXMSG_MAX_COUNT_LG, &third), 0);
    std::string text = out.stop();
    EXPECT_TRUE(has(text, "^" + kStamp +
                              logLine("kxMbox_rxopen_ext",
                                      "mbox=" + name_ + " has msgsize=1500 maxmsg=10, not "
                                      "msgsize=200; remove it: rm /dev/mqueue" + name_ + "\n") +
                              "$"))
        << text;
    struct mq_attr attr = attrOf(name());
    EXPECT_EQ(attr.mq_maxmsg, 10);
    EXPECT_EQ(attr.mq_msgsize, 1500);
    kxMbox_close(&third);
    kxMbox_close(&second);
    kxMbox_close(&first);
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

TEST_F(Mbox, CreateBeyondTheSystemLimitFailsAndLogs)
{
    ASSERT_TRUE(kxtest::setMsgMax(10));
    auto child = kxtest::runChild([&] {
        if (!dropSysResource())
            _exit(2);
        g_debug_level |= kStdout;
        kxMbox_t rx;
        int large = kxMbox_create(name(), KXMSG_MAX_COUNT_LG);
        int open = kxMbox_rxopen(name(), KXMSG_MAX_COUNT_LG, &rx);
        int medium = kxMbox_create(name(), KXMSG_MAX_COUNT_MD);
        printf("large=%d open=%d mqd=%d medium=%d\n", large, open, static_cast<int>(rx.mqd),
               medium);
    });
    kxtest::setMsgMax(kxtest::kSandboxMsgMax);
    ASSERT_EQ(child.exitCode, 0);
    EXPECT_TRUE(has(child.out, "large=-1 open=-1 mqd=-1 medium=0\n")) << child.out;
    EXPECT_TRUE(has(child.out, "(^|\n)" + kStamp +
                                   logLine("kxMbox_rxopen_ext",
                                           "mbox=" + name_ + " errno=Invalid argument\n")))
        << child.out;
}

TEST_F(Mbox, TimedReceiveWaitsGTimedreceiveSeconds)
{
    using namespace std::chrono;
    EXPECT_EQ(g_timedreceive, 10);
    kxMbox_t rx, tx;
    ASSERT_EQ(kxMbox_rxopen(name(), KXMSG_MAX_COUNT_MD, &rx), 0);
    ASSERT_EQ(kxMbox_txopen(name(), &tx), 0);
    g_timedreceive = 1;
    std::vector<char> buf(1500, 0);

    auto start = steady_clock::now();
    EXPECT_EQ(kxMbox_timedreceive(buf.data(), 1500, &rx), -1);
    auto waited = steady_clock::now() - start;
    EXPECT_GE(waited, milliseconds(950));
    EXPECT_LT(waited, seconds(5));

    std::vector<char> msg = pattern(321, 5);
    ASSERT_EQ(kxMbox_send(msg.data(), 321, &tx), 0);
    EXPECT_EQ(kxMbox_timedreceive(buf.data(), 1499, &rx), -2) << "buffer below the message size";
    EXPECT_EQ(kxMbox_timedreceive(buf.data(), 1500, &rx), 321);
    buf.resize(321);
    EXPECT_EQ(buf, msg);
    kxMbox_close(&tx);
    kxMbox_close(&rx);
}

TEST_F(Mbox, ReceiveIntoBufferBelowMessageSizeEndsTheProcess)
{
    kxMbox_t rx, tx;
    ASSERT_EQ(kxMbox_rxopen(name(), KXMSG_MAX_COUNT_MD, &rx), 0);
    ASSERT_EQ(kxMbox_txopen(name(), &tx), 0);
    ASSERT_EQ(kxMbox_send("hello", 5, &tx), 0);
    const std::regex report =
        assertReport("snkxMbox_receive", "(len = mq_receive(kxattr->mqd, buf, size, NULL)) >= 0");
    for (int size : {1499, -1}) {
        auto child = kxtest::runChild([&] {
            g_debug_level |= kStdout;
            char buf[1500];
            snkxMbox_receive(buf, size, &rx);
        });
        EXPECT_EQ(child.exitCode, kAssertExit) << "size " << size;
        EXPECT_TRUE(std::regex_search(child.out, report)) << "size " << size << ": " << child.out;
    }
    EXPECT_EQ(attrOf(name()).mq_curmsgs, 1);
    kxMbox_close(&tx);
    kxMbox_close(&rx);
}

TEST_F(Mbox, UnlinkReturnsZeroWhetherOrNotTheMailboxExists)
{
    EXPECT_EQ(kxMbox_unlink(name()), 0);
    ASSERT_EQ(kxMbox_create(name(), KXMSG_MAX_COUNT_SM), 0);
    EXPECT_EQ(kxMbox_unlink(name()), 0);
    EXPECT_EQ(mq_open(name(), O_RDONLY), static_cast<mqd_t>(-1));
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(Mbox, CloseReturnsTheResultAndLeavesTheRecord)
{
    kxMbox_t rx;
    ASSERT_EQ(kxMbox_rxopen(name(), KXMSG_MAX_COUNT_SM, &rx), 0);
    mqd_t mqd = rx.mqd;
    EXPECT_EQ(kxMbox_close(&rx), 0);
    EXPECT_EQ(rx.mqd, mqd);
    EXPECT_EQ(kxMbox_close(&rx), -1);
}

TEST_F(Mbox, DescriptorsAreBlockingCloseOnExecAndMode0664)
{
    mode_t mask = umask(0);
    kxMbox_t rx, tx;
    ASSERT_EQ(kxMbox_rxopen(name(), KXMSG_MAX_COUNT_MD, &rx), 0);
    umask(mask);
    ASSERT_EQ(kxMbox_txopen(name(), &tx), 0);
    struct stat st {};
    ASSERT_EQ(fstat(rx.mqd, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0664u);
    for (const kxMbox_t *box : {&rx, &tx}) {
        EXPECT_NE(fcntl(box->mqd, F_GETFD) & FD_CLOEXEC, 0);
        struct mq_attr attr {};
        ASSERT_EQ(mq_getattr(box->mqd, &attr), 0);
        EXPECT_EQ(attr.mq_flags & O_NONBLOCK, 0);
    }
    kxMbox_close(&tx);
    kxMbox_close(&rx);
}

} // namespace
