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

#endif /* CAMCOMMAND_H */
