/*
 * Classic command and response frames, the compact form of a camera
 * command, and their conversions to and from TLV messages.
 *
 *   command   'C', length = 2 + argument count, two-letter code, arguments
 *   response  'R', length = payload count, payload
 *
 * A frame is length + 2 bytes. Precondition violations (wrong marker, a
 * frame shorter than its two header bytes, a length byte that disagrees
 * with the frame length, a malformed command, a missing element) assert
 * and end the process.
 */
#ifndef KXCLASSIC_H
#define KXCLASSIC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CC_MQ_COMMAND_REQ  'C'
#define CC_MQ_COMMAND_RESP 'R'

/* Arguments beyond this many do not fit the command frame's length byte. */
#define CC_MAX_ARGS 253

/* The command element of the message last given to convertTlvToClassic;
 * points into that caller's buffer. */
extern const uint8_t *g_tlvcmd;

/*
 * Writes the classic frame of the TLV command tlv into dst (n bytes) and
 * returns its length, 4 + argument count; arguments beyond CC_MAX_ARGS are
 * dropped. The frame is not terminated, but with no arguments a NUL
 * follows it when n leaves room. Nothing is written beyond n: the header
 * is one bounded print of size n, the arguments are cut at n, and the
 * result is still the whole frame's length. Returns 0 and writes nothing
 * when the code or argument bytes would run past the message's declared
 * total.
 */
int convertTlvToClassic(char *dst, unsigned n, const uint8_t *tlv);

/*
 * Builds in obuf (osize bytes) the type-10 TLV command of the classic frame
 * ibuf (ilen bytes), sent from "/to_camera" to "/to_kxnet", and returns its
 * length, 45 + argument count. Elements that do not fit osize are left out
 * and count 0. obuf may be ibuf. Returns 0 and writes nothing for a frame
 * too short to hold a command code (length byte below 2) and for an osize
 * below 8, which cannot hold even an empty message.
 */
int convertClassicCmdToTlv(uint8_t *obuf, unsigned osize, const char *ibuf,
                           int ilen);

/*
 * Turns the TLV command in ibuf (ilen bytes, buffer of size bytes) into its
 * response in place, with the payload of the classic response rbuf (rlen
 * bytes), and returns the new length, ilen + payload count + 4. A payload
 * that does not fit size is left out, and the response is still
 * well-formed.
 */
int convertClassicRespToTlv(uint8_t *ibuf, int ilen, unsigned size,
                            const char *rbuf, int rlen);

#ifdef __cplusplus
}
#endif

#endif /* KXCLASSIC_H */
