/*
 * Error codes and their names, model code names, the storage card's id and
 * small string helpers.
 */
#ifndef KXUTIL_H
#define KXUTIL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Negative results across the library. */
enum kxErr {
    KX_OK = 0,
    KX_ERR = -1,
    KX_ERR_OUTOFMEM = -2,
    KX_ERR_INVALID_PARAM = -3,
    KX_ERR_INCOMPLETE_CGI_PARAM = -4,
    KX_ERR_MQ_FAIL = -5,
    KX_ERR_NO_SDCARD = -6,
    KX_ERR_SDCARD_FULL = -7,
    KX_ERR_CREATING_MISC_DIR = -8,
    KX_ERR_UPLOADED_FILE = -9,
    KX_ERR_FILE_OPEN = -10,
    KX_ERR_FILE_READ = -11,
    KX_ERR_FILE_WRITE = -12,
    KX_ERR_REMOTE_FILE_OPEN = -13,
    KX_ERR_REMOTE_FILE_READ = -14,
    KX_ERR_REMOTE_FILE_WRITE = -15,
    KX_ERR_ACCESS_DENIED = -16,
    KX_ERR_NAK = -17,
    KX_ERR_RESPONSE_ALREADY_SENT = -18,
    KX_ERR_NAK_OFF = -19,
    KX_ERR_NOT_SUPPORTED = -20,
    KX_ERR_DOWNLOAD_FAILED = -100
};

typedef struct kxErrnoStr_s {
    const char *name;
    int32_t value;
} kxErrnoStr_t;

#define KX_ERRNO_COUNT 22
extern const kxErrnoStr_t kxErrnoStrMap[KX_ERRNO_COUNT];

typedef struct kxModel_s {
    int32_t id;       /* -1 ends the table */
    const char *name; /* absent in the last row */
} kxModel_t;

#define KX_MODEL_COUNT 16
extern const kxModel_t kxModelTable[KX_MODEL_COUNT + 1];

#define KX_CARD_DIR  "/tmp/fuse_d/MISC/"
#define KX_CARD_FILE KX_CARD_DIR "card"
#define KX_CARD_ID_SIZE 32

/* The name of an error code, or "UNKNOWN". Never NULL; never to be freed. */
const char *kxErrnoStr(int err);

/* The code name of a model id, or NULL for an unknown id. */
const char *kxUtil_modelName(int id);

/*
 * The card's persistent id as decimal text in buf (at least
 * KX_CARD_ID_SIZE bytes): read from KX_CARD_FILE, or made and stored there
 * on first use. 0 on success, -1 with a line on standard error otherwise.
 */
int kxUtil_getCardId(char *buf);

/* The first character that is not a blank or tab; NULL for NULL, or when
 * the string holds nothing else. */
const char *kxUtil_skipBlanks(const char *s);

#ifdef __cplusplus
}
#endif

#endif /* KXUTIL_H */
