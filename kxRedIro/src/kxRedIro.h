// The daemon's mailboxes and the simulator entry points that the
// forwarding loop calls.
#ifndef KXREDIRO_H
#define KXREDIRO_H

#include <stdint.h>

// Inbound: commands towards the camera side.
#define KXMBOXtoCAMERA "/to_camera"
#define KXMBOXtoRTOS   "/to_wif"
#define KXMBOXtoUNUSED "/to_csi"
// Created for the processes that own them; only "/to_kxnet" is written.
#define KXMBOXtoKXNET  "/to_kxnet"
#define KXMBOXtoATH    "/to_ath"
#define KXMBOXtoUDP    "/to_udp"
#define KXMBOXtoPLAT   "/to_pla"
#define KXMBOXtoBLE    "/to_ble"

// The daemon's eight mailboxes in the order in which it opens them: the
// three inbound ones (opened for receiving), then the five it creates.
// count is the capacity each is made with (KXMSG_MAX_COUNT_*, kxMbox.h).
struct kxMailbox_t {
    const char *name;
    long count;
    bool inbound;
};
inline constexpr int KX_MAILBOXES = 8;
inline constexpr kxMailbox_t kxMailboxes[KX_MAILBOXES] = {
    {KXMBOXtoCAMERA, 10, true}, {KXMBOXtoRTOS, 40, true}, {KXMBOXtoUNUSED, 2, true},
    {KXMBOXtoKXNET, 40, false}, {KXMBOXtoATH, 10, false}, {KXMBOXtoUDP, 10, false},
    {KXMBOXtoPLAT, 10, false},  {KXMBOXtoBLE, 40, false},
};

// Hands a message that came from a mailbox to the simulated camera when it
// is "DB" or simulator mode is on: 1 when taken (answered or dropped), 0
// when the caller is to forward it. The message must have passed
// tlv_validate; ibuf holds KXMSG_MAX bytes.
int sim_and_send(uint8_t *ibuf, int ilen);

// Turns the command in ibuf into the simulated camera's response, in place,
// mails it to "/to_kxnet" and sends a redrawn canvas after it.
void cameraSimulator(uint8_t *ibuf, int ilen, unsigned size);

// Turns the command in ibuf (size bytes of room) into its response in
// place: message type + 1, source and destination exchanged by their type
// bytes, the n bytes of resp appended as the response element before a new
// end element. Returns the change of the message's length (4 + n when the
// response fits). The command must have passed tlv_validate and carry
// source and destination elements.
int simAnswer(uint8_t *ibuf, unsigned size, const uint8_t *resp, int n);

// Mails one message to "/to_kxnet", opening and closing the mailbox around
// it, and returns the result of the close. A failed open is reported as
// the caller's (module and func) and ends the process.
int mailToKxnet(const uint8_t *msg, int len, const char *module, const char *func);

#endif // KXREDIRO_H
