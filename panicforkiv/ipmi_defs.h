/*
 * IPMI messages used to announce the machine status: the BMC requests sent
 * over KCS and the IPMB request forwarded to the management controller.
 */
#ifndef PANICFORKIV_IPMI_DEFS_H
#define PANICFORKIV_IPMI_DEFS_H

/* Network function of every request sent to the BMC. */
#define IPMI_NETFN_APP                  0x06    /* Application, LUN 0 */

/* Application commands. */
#define IPMI_CLEAR_MSG_FLAGS_CMD        0x30
 #define IPMI_CLEAR_MSG_FLAGS_MASK      0xEB    /* everything but bits 2 and 4 */
 #define IPMI_CLEAR_MSG_FLAGS_RESP      1       /* expected response bytes */
#define IPMI_GET_MSG_FLAGS_CMD          0x31
 #define IPMI_MSG_FLAG_RECEIVE          0x01    /* receive message available */
 #define IPMI_GET_MSG_FLAGS_RESP        2
#define IPMI_GET_MSG_CMD                0x33
 #define IPMI_GET_MSG_RESP              9
#define IPMI_SEND_MSG_CMD               0x34
 #define IPMI_SEND_MSG_RESP             1

/* IPMB request carried by Send Message, byte by byte. */
#define IPMB_SEND_LEN                   13
#define IPMB_CHANNEL                    0x00    /* byte 0: primary IPMB, no tracking */
#define IPMB_RS_SA                      0x24    /* byte 1: management controller */
#define IPMB_NETFN_OEM_LUN              0xC0    /* byte 2: NetFn 0x30 << 2, rsLUN 0 */
                                                /* byte 3: header checksum */
#define IPMB_RQ_SA                      0x20    /* byte 4: the BMC */
#define IPMB_RQ_SEQ_LUN                 0x20    /* byte 5: rqSeq 8 << 2, rqLUN 0 */
#define IPMB_OEM_STATUS_CMD             0x4B    /* byte 6 */
                                                /* byte 7: status code */
#define IPMB_OEM_DATA1                  0x03    /* byte 8 */
#define IPMB_OEM_DUMPING_DATA2          0x4A    /* byte 9 when dumping */
#define IPMB_OEM_HALT_DATA2             0x4B    /* byte 9 otherwise */
#define IPMB_OEM_DATA3                  0x0F    /* byte 10 */
#define IPMB_OEM_DATA4                  0xFF    /* byte 11 */
                                                /* byte 12: body checksum */

/* Get Message answer, as kcs_execute leaves it in resp_data. */
#define IPMB_ANSWER_CC                  0       /* Get Message completion code */
#define IPMB_ANSWER_CHANNEL             1       /* replaced by the rqSA for the checksum */
#define IPMB_ANSWER_HDR_SUM             3       /* checksum of bytes 1..2 */
#define IPMB_ANSWER_BODY                4       /* body starts at the rsSA */
#define IPMB_ANSWER_CMD                 6
#define IPMB_ANSWER_OEM_CC              7       /* handed back as the result */
#define IPMB_ANSWER_BODY_SUM            8       /* checksum of bytes 4..7 */

/* Waiting for the controller's answer. */
#define IPMI_ANSWER_CYCLES              500

#endif /* PANICFORKIV_IPMI_DEFS_H */
