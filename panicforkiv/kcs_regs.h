/*
 * KCS system interface: ports, status register, states and control codes.
 * Every value here is fixed by the IPMI KCS transfer protocol.
 */
#ifndef PANICFORKIV_KCS_REGS_H
#define PANICFORKIV_KCS_REGS_H

/* Ports, relative to the data port KCSBASEADDR (low 16 bits). */
#define KCS_DATA_REG            0       /* read: data out, write: data in */
#define KCS_STATUS_REG          1       /* read: status register */
#define KCS_CMD_REG             1       /* write: command register */

/* Status register bits. */
#define KCS_STATUS_OBF          0x01    /* output buffer full: a byte waits for us */
#define KCS_STATUS_IBF          0x02    /* input buffer full: BMC has not taken our byte */
#define KCS_STATUS_SMS_ATN      0x04    /* BMC has something for system software */
#define KCS_STATUS_STATE_SHIFT  6       /* bits 7..6: interface state */
 #define KCS_IDLE_STATE         0
 #define KCS_READ_STATE         1
 #define KCS_WRITE_STATE        2
 #define KCS_ERROR_STATE        3

/* Control codes. */
#define KCS_GET_STATUS_ABORT    0x60    /* command register: error exit */
#define KCS_WRITE_START         0x61    /* command register: first byte of a request follows */
#define KCS_WRITE_END           0x62    /* command register: last byte of a request follows */
#define KCS_READ_BYTE           0x68    /* data register: hand me the next response byte */

/* Limits of the polled protocol. */
#define KCS_POLL_STEPS          3001    /* delays before a polling wait gives up */
#define KCS_POLL_DELAY_US       1000    /* one polling delay */
#define KCS_RECOVER_ATTEMPTS    500     /* GET_STATUS/ABORT sequences before giving up */
#define KCS_WRITE_RUNS          501     /* write phases tried per exchange */

#endif /* PANICFORKIV_KCS_REGS_H */
