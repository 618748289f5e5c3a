/*
 * The simulated camera: its state, its command handlers and the pixel
 * canvas that it draws and sends.
 *
 * Everything here runs on the forwarding loop's thread only, so the globals
 * are plain and nothing is locked.
 */
#ifndef CAMCOMMAND_H
#define CAMCOMMAND_H

#include <stdint.h>

/* ------------------------------------------------------------------------
 * Pixel canvas
 *
 * A one-bit-per-pixel picture of 60 x 75 pixels, stored row by row, row 0
 * first, 8 bytes a row. Pixel (x, y) is the bit 0x80 >> (x % 8) of byte
 * y * 8 + x / 8: the most significant bit of a byte is its leftmost pixel.
 * A row has room for 64 pixels but only columns 0-59 exist, so the low four
 * bits of the last byte of every row are always 0. The canvas leaves the
 * camera exactly as stored.
 * ------------------------------------------------------------------------ */

inline constexpr int32_t KX_CANVAS_COLUMNS = 60;
inline constexpr int32_t KX_CANVAS_ROWS = 75;
inline constexpr int32_t KX_CANVAS_ROW_BYTES = 8;
inline constexpr int32_t KX_CANVAS_SIZE = KX_CANVAS_ROWS * KX_CANVAS_ROW_BYTES;

/* The target's rings and cross are centred here. */
inline constexpr int32_t KX_CANVAS_CENTRE_X = 30;
inline constexpr int32_t KX_CANVAS_CENTRE_Y = 40;

/*
 * Sizes that DrawTarget draws as asked; a size outside
 * -KX_TARGET_SIZE_LIMIT..KX_TARGET_SIZE_LIMIT is drawn as the nearer limit.
 * From size 43 upwards and from -50 downwards the canvas shows only the full
 * cross, so the limit changes no stored pixel; it bounds the work (and the
 * out-of-range log lines) of one call and keeps every coordinate far from
 * the int32_t range. The camera's mode byte, 0-255, lies well inside.
 */
inline constexpr int32_t KX_TARGET_SIZE_LIMIT = 1000;

/*
 * The largest ring that the target uses; DrawCircle draws a larger radius
 * as this one. A ring of either radius lies wholly outside the canvas, so
 * this too changes no stored pixel.
 */
inline constexpr int32_t KX_CIRCLE_RADIUS_LIMIT = KX_TARGET_SIZE_LIMIT + 11;

/* The picture, and 1 while it has been redrawn but not yet sent. */
extern uint8_t g_canvas[KX_CANVAS_SIZE];
extern uint32_t g_canvasChanged;

/* Sets one pixel; a pixel outside the canvas is logged and not stored. */
void DrawPixel(int32_t x, int32_t y);

/* Draws one ring of the given radius around the centre; none if negative. */
void DrawCircle(int32_t radius);

/*
 * Clears the canvas, draws three rings of radius size + 9, + 10 and + 11
 * and a cross reaching size + 10 from the centre, and marks the canvas
 * changed.
 */
void DrawTarget(int32_t size);


/* ------------------------------------------------------------------------
 * Commands and their handlers
 *
 * Two-letter codes, lower case for queries and upper case for settings.
 * Every response starts with a status byte, 0x00 accepted or 0x01 refused;
 * multi-byte values in responses are big-endian.
 * ------------------------------------------------------------------------ */

inline constexpr int KX_CA_COMMANDS = 24;     /* codes, "??" included */
inline constexpr int KX_CA_DB = 0;           /* index of "DB", which sets the daemon's words */
inline constexpr int KX_CA_DEFAULT = 23;      /* index of "??", every unknown code */
inline constexpr uint8_t KX_CA_ACCEPTED = 0x00;
inline constexpr uint8_t KX_CA_REFUSED = 0x01;

/* The simulated camera's mode: the size of the canvas target. */
extern uint8_t g_caMode;

/* The codes laid end to end; code i stands at characters 2i and 2i + 1. */
extern const char g_caCodes[2 * KX_CA_COMMANDS + 1];

/*
 * Writes the response for the argument bytes from the start of resp and
 * returns its length, or a negative value when nothing is to be answered.
 */
typedef int CAhandler(uint8_t *resp, unsigned size, const uint8_t *arg, unsigned argLen,
                      int index);

typedef struct CAcommand_s {
    uint32_t maxArgLen;
    uint32_t minArgLen;
    CAhandler *handler;
} CAcommand_t;

/* One row per code of g_caCodes, then an all-zero row that ends it. */
extern const CAcommand_t g_caCommandTable[KX_CA_COMMANDS + 1];

/* The index of a command code (its first two bytes); KX_CA_DEFAULT when it
 * is not a code of the table. */
int CAcommandIndex(const uint8_t *code);

/* Checks the argument length against the table and runs the handler. */
int CAdispatch(uint8_t *resp, unsigned size, const uint8_t *arg, unsigned argLen, int index);

CAhandler CAsetDB, CAgetCM, CAgetCV, CAgetLC, CAgetPV, CAgetSE, CAgetST, CAgetTM, CAgetUM,
    CAgetVS, CAgetSH, CAgetSX, CAgetCC, CAsetCM, CAsetPV, CAsetTM, CAsetUM, CAsetSH, CAsetPW,
    CAsetOO, CAsetIT, CAsetHR, CAsetSU, CAgetDefault;

/* ------------------------------------------------------------------------
 * Commands the camera sends on its own, to "/to_kxnet"
 * ------------------------------------------------------------------------ */

/*
 * Where the camera's own commands go: while it is null (in the daemon),
 * they are mailed to "/to_kxnet" (mailToKxnet); a camera played on the far
 * side of the IPC endpoints sets it and sends them to the daemon instead.
 * Returns what the sending returns.
 */
typedef int CAoutbox(const uint8_t *msg, int len);
extern CAoutbox *g_caOutbox;

/* "LC" with the canvas as it stands; returns the outbox's result. */
int CAsendLC(void);

/* "SU", ready to suspend; returns the outbox's result. */
int CAsendSU(void);

/* Sends "LC" when the canvas was redrawn since it was last sent. */
void CAsendPendingLC(void);

#endif /* CAMCOMMAND_H */
