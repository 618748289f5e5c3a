// Error names, model names, the card id and string helpers.
#include "kxUtil.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const kxErrnoStr_t kxErrnoStrMap[KX_ERRNO_COUNT] = {
    {"KX_OK", KX_OK},
    {"KX_ERR", KX_ERR},
    {"KX_ERR_OUTOFMEM", KX_ERR_OUTOFMEM},
    {"KX_ERR_INVALID_PARAM", KX_ERR_INVALID_PARAM},
    {"KX_ERR_INCOMPLETE_CGI_PARAM", KX_ERR_INCOMPLETE_CGI_PARAM},
    {"KX_ERR_MQ_FAIL", KX_ERR_MQ_FAIL},
    {"KX_ERR_NO_SDCARD", KX_ERR_NO_SDCARD},
    {"KX_ERR_SDCARD_FULL", KX_ERR_SDCARD_FULL},
    {"KX_ERR_CREATING_MISC_DIR", KX_ERR_CREATING_MISC_DIR},
    {"KX_ERR_UPLOADED_FILE", KX_ERR_UPLOADED_FILE},
    {"KX_ERR_FILE_OPEN", KX_ERR_FILE_OPEN},
    {"KX_ERR_FILE_READ", KX_ERR_FILE_READ},
    {"KX_ERR_FILE_WRITE", KX_ERR_FILE_WRITE},
    {"KX_ERR_REMOTE_FILE_OPEN", KX_ERR_REMOTE_FILE_OPEN},
    {"KX_ERR_REMOTE_FILE_READ", KX_ERR_REMOTE_FILE_READ},
    {"KX_ERR_REMOTE_FILE_WRITE", KX_ERR_REMOTE_FILE_WRITE},
    {"KX_ERR_ACCESS_DENIED", KX_ERR_ACCESS_DENIED},
    {"KX_ERR_NAK", KX_ERR_NAK},
    {"KX_ERR_RESPONSE_ALREADY_SENT", KX_ERR_RESPONSE_ALREADY_SENT},
    {"KX_ERR_NAK_OFF", KX_ERR_NAK_OFF},
    {"KX_ERR_NOT_SUPPORTED", KX_ERR_NOT_SUPPORTED},
    {"KX_ERR_DOWNLOAD_FAILED", KX_ERR_DOWNLOAD_FAILED},
};

// Code names of the camera models, by the id their firmware reports.
const kxModel_t kxModelTable[KX_MODEL_COUNT + 1] = {
    {0, "KESTREL"}, {1, "HERON"},  {2, "OSPREY"},  {3, "PLOVER"},
    {4, "AVOCET"},  {10, "MERLIN"}, {11, "SISKIN"}, {12, "DUNLIN"},
    {13, "GANNET"}, {14, "PETREL"}, {15, "LINNET"}, {16, "BITTERN"},
    {17, "WHIMBREL"}, {18, "GODWIT"}, {19, "SHRIKE"}, {20, "TURNSTONE"},
    {-1, nullptr},
};

extern "C" const char *kxErrnoStr(int err)
{
    for (const auto &row : kxErrnoStrMap)
        if (row.value == err)
            return row.name;
    return "UNKNOWN";
}

extern "C" const char *kxUtil_modelName(int id)
{
    for (const kxModel_t *row = kxModelTable; row->id != -1; ++row)
        if (row->id == id)
            return row->name;
    return nullptr;
}

namespace {

// Up to size - 1 bytes of the file's first line, line end included, as
// fgets would give them; false when nothing could be read.
bool readFirstLine(int fd, char *buf, size_t size)
{
    ssize_t n;
    do {
        n = read(fd, buf, size - 1);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return false;
    const void *nl = memchr(buf, '\n', static_cast<size_t>(n));
    size_t len = nl ? static_cast<size_t>(static_cast<const char *>(nl) - buf) + 1
                    : static_cast<size_t>(n);
    buf[len] = '\0';
    return true;
}

// 0: the directory is there (and the file may be read), 1: it was just
// made, -1: it cannot be had.
int ensureCardDir()
{
    struct stat st {};
    if (stat(KX_CARD_DIR, &st) != 0) {
        if (mkdir(KX_CARD_DIR, 0777) != 0) {
            fprintf(stderr, "Failed to create folder:%s\n", KX_CARD_DIR);
            return -1;
        }
        return 1;
    }
    if (!S_ISDIR(st.st_mode)) {
        fprintf(stderr, "Path:%s exists and is a NOT folder\n", KX_CARD_DIR);
        return -1;
    }
    return 0;
}

bool readCardId(char *buf)
{
    int fd = open(KX_CARD_FILE, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = readFirstLine(fd, buf, KX_CARD_ID_SIZE);
    close(fd);
    return ok;
}

// A zero draw would make the id -1, which reads as "no card": draw again.
long long drawCardId()
{
    srand(static_cast<unsigned>(time(nullptr)));
    for (int draw = 0; draw < 10; ++draw) {
        long long r = rand();
        if (r != 0)
            return r * r - 1;
    }
    return -1;
}

int makeCardId(char *buf)
{
    int fd = open(KX_CARD_FILE, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        fprintf(stderr, "Failed to create file  %s\n", KX_CARD_FILE);
        return -1;
    }
    long long id = drawCardId();
    if (id == -1) {
        fprintf(stderr, "Failed to get random number\n");
        close(fd);
        return -1;
    }
    int len = snprintf(buf, KX_CARD_ID_SIZE, "%lld", id);
    bool written = write(fd, buf, static_cast<size_t>(len)) == len;
    close(fd);
    if (!written) {
        fprintf(stderr, "Failed to get write card_id to file\n");
        return -1;
    }
    return 0;
}

} // namespace

extern "C" int kxUtil_getCardId(char *buf)
{
    if (buf == nullptr) {
        fprintf(stderr, "Cannot call with null pointer\n");
        return -1;
    }
    strcpy(buf, "0");
    int dir = ensureCardDir();
    if (dir < 0)
        return -1;
    if (dir == 0 && readCardId(buf))
        return 0;
    return makeCardId(buf);
}

extern "C" const char *kxUtil_skipBlanks(const char *s)
{
    if (s == nullptr)
        return nullptr;
    while (isblank(static_cast<unsigned char>(*s)))
        ++s;
    return *s == '\0' ? nullptr : s;
}
