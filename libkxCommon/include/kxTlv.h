/*
 * TLV messages: the byte records that travel on every mailbox and IPC
 * endpoint, built, walked, checked and edited in buffers that belong to the
 * caller. Nothing here allocates or keeps state.
 *
 * Layout, all numbers big-endian, no padding:
 *   message header  total length (2), spare (1), message type (1)
 *   element         spare (1), value length (2), element type (1), value
 * The last element is the end element, type TLV_TYPE_END with an empty
 * value; the total length counts the header and the end element.
 *
 * What a network daemon writes into "/to_camera" to ask "cv", 45 bytes;
 * sntlv_command builds exactly this:
 *   00 2D 00 0A                 total 45, spare, message type 10
 *   00 00 02 41 "cv"            command code
 *   00 00 00 42                 arguments: present, empty
 *   00 00 0A 44 "/to_camera"    source: the mailbox it was put into
 *   00 00 09 43 "/to_kxnet"     destination: where the network daemon reads
 *   00 00 00 EE                 end
 * Mailbox names go without their NUL. The answer arrives in "/to_kxnet"
 * with message type 11, the same elements with source and destination
 * exchanged (their type bytes rewritten, the names where they were) and a
 * response element before the end: for "cv" 25 bytes, status 0x00, then
 * 02 10, then 09 "v01.01.01" and 0B "LINDEN_VALE" (length-prefixed). The
 * camera's own "LC" command arrives as type 10 with the 600 canvas bytes as
 * its arguments, source "/to_wif" (where its answer goes), 642 bytes in all.
 *
 * tlv_find and tlv_validate are given no buffer size. They trust a buffer
 * to hold as many bytes as its header declares, up to KXMSG_MAX, and read
 * nothing beyond that: a declared total above KXMSG_MAX is not walked, and
 * an element header that would cross the declared total is not read.
 */
#ifndef KXTLV_H
#define KXTLV_H

#include <stdint.h>

#include "kxLog.h"
#include "kxMsg.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Element types. */
#define TLV_TYPE_CMD  0x41 /* two-letter command code */
#define TLV_TYPE_ARG  0x42 /* command arguments, possibly empty */
#define TLV_TYPE_DST  0x43 /* destination mailbox name */
#define TLV_TYPE_SRC  0x44 /* source mailbox name, where a response goes */
#define TLV_TYPE_RESP 0x45 /* response payload */
#define TLV_TYPE_VOID 0x57 /* a voided element, value all zero */
#define TLV_TYPE_END  0xEE /* closes the message, value length 0 */

#define TLV_MSG_HDR_LEN  4
#define TLV_ELEM_HDR_LEN 4
/* Header and end element: the shortest message that can be well-formed. */
#define TLV_MSG_MIN_LEN  (TLV_MSG_HDR_LEN + TLV_ELEM_HDR_LEN)

/* Message type of the commands that the daemon originates; a response
 * carries its command's type plus 1. */
#define TLV_MSG_TYPE_CMD 10

/* The bytes of a whole command as sntlv_command builds it: header, code
 * element (2), arguments, source and destination elements, end. */
#define TLV_COMMAND_LEN(arglen, srclen, dstlen) \
    (TLV_MSG_MIN_LEN + 4 * TLV_ELEM_HDR_LEN + 2 + (arglen) + (srclen) + (dstlen))

/* Writes the header of an empty message (total 4, no end element yet) and
 * returns 4. Every message buffer holds at least a header, so size is not
 * consulted. */
int tlv_init(uint8_t *buf, unsigned size, uint8_t type);

/* The declared total length; totals of 32768 and more read as negative. */
int16_t tlv_length(const uint8_t *buf);

/* The first element of the type (pointing at its header), or NULL. */
uint8_t *tlv_find(const uint8_t *buf, uint8_t type);

/* 0 for a well-formed message. -1: the end element is not the last four
 * bytes, or the total is below 8 or above KXMSG_MAX. -2/-3: the end element
 * is in place but the lengths do not add up; -2 when the message carries
 * the elements of a command (argument, no response) or, for the odd types
 * 1 to 13, of a response (argument and response), -3 otherwise. */
int tlv_validate(const uint8_t *buf);

/* An element's type byte and value length, elem pointing at its header as
 * tlv_find returns it. Nothing is checked: elem must lie inside the
 * message. */
uint8_t tlv_elem_type(const uint8_t *elem);
unsigned tlv_elem_len(const uint8_t *elem);

/* Rewrites an element's type byte in place; its length and value stay. */
void tlv_set_elem_type(uint8_t *elem, uint8_t type);

/* The message type, byte 3 of the header, and its rewrite in place. */
uint8_t tlv_msg_type(const uint8_t *buf);
void tlv_set_msg_type(uint8_t *buf, uint8_t type);

/* Appends an element and returns the bytes added (4 + len), or 0 with the
 * buffer unchanged when the message would grow beyond size or beyond a
 * 16-bit signed total. */
int sntlv_append(uint8_t *buf, unsigned size, uint8_t type, unsigned len,
                 const void *value);

/* sntlv_append of the first len (0 to 4) bytes of val, least significant
 * first; a longer len gives 0. */
int sntlv_append_val(uint8_t *buf, unsigned size, uint8_t type, unsigned len,
                     uint32_t val);

/* Drops the first element of the type, which must be the message's last
 * one, by lowering the total; returns minus the bytes dropped. No byte is
 * moved or cleared. A missing element is a programming error and asserts.
 * size is not consulted. */
int sntlv_remove(uint8_t *buf, unsigned size, uint8_t type);

/* Turns the first element of the type into a TLV_TYPE_VOID element with an
 * all-zero value of the same length (value bytes past the declared total
 * are left alone). A missing element asserts. */
void sntlv_void(uint8_t *buf, uint8_t type);

/* Copies the value of the first element of the type into dst and returns
 * its length. Gives 0 and copies nothing when there is no such element,
 * when the value is not strictly shorter than dstsize, or when it runs past
 * the declared total. No terminator is added. */
int sntlv_get(void *dst, unsigned dstsize, uint8_t type, const uint8_t *buf);

/* Copies len bytes and returns len; 0 and nothing copied when len is 0 or
 * above dstsize. */
int sntlv_copy(void *dst, unsigned dstsize, unsigned len, const void *src);

/* Builds a command from scratch in the layout that every command has:
 * header of the type, then code (2 bytes), arguments (arglen bytes, an
 * empty element when arglen is 0; args may then be NULL), source, destination
 * (both strings without their NUL) and end. Returns the sum of the bytes
 * added, which is the total length when everything fits. As with
 * sntlv_append, an element that does not fit is left out and counts 0, so
 * a short buffer gives a shorter, possibly malformed, message: the classic
 * conversion is defined that way. The header's total counts only what was
 * added, so it cannot tell: callers that need the whole command compare
 * the result with TLV_COMMAND_LEN. */
int sntlv_command(uint8_t *buf, unsigned size, uint8_t type, const char code[2],
                  const void *args, unsigned arglen, const char *src,
                  const char *dst);

/* Writes the count (1 to 4) low-order bytes of value, most significant
 * first, each followed by a NUL while room remains, and returns count. A
 * byte lands only with room for it and its NUL (size > its offset + 1), so
 * a size of count or less loses the trailing bytes, without notice; nothing
 * is written beyond size. A count out of range writes nothing and gives 0. */
int snputbytes(char *dst, unsigned size, int count, uint32_t value);

#ifdef __cplusplus
}
#endif

#endif /* KXTLV_H */
