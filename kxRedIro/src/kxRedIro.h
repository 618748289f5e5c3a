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

#endif // KXREDIRO_H
