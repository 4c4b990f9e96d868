#pragma once
/* What the code under test asked of the stand-in converter, for the tests to look at.
 * The tests reach it with dlsym on the library they also hand to FtdiLibrary. */

#ifdef __cplusplus
extern "C" {
#endif

struct standin_settings {
    int baudrate;      /* last ftdi_set_baudrate; 0 before any */
    int bits;          /* last ftdi_set_line_property; -1 before any */
    int stop_bits;
    int parity;
    int latency;       /* last ftdi_set_latency_timer; -1 before any */
    int chunk_size;    /* last ftdi_read_data_set_chunksize; 0 before any */
    int read_timeout;  /* ctx->usb_read_timeout as the last ftdi_read_data found it */
    int write_timeout; /* ctx->usb_write_timeout as the last ftdi_write_data found it */
    int flushes;       /* successful ftdi_tcioflush calls */
    int opens;         /* successful opens */
    int closes;        /* ftdi_usb_close calls that closed an open port */
    int live_contexts; /* ftdi_new minus ftdi_free */
    char opened[128];  /* product string of the converter last opened; empty before any */
};

typedef const struct standin_settings *(*standin_last_settings_fn)(void);
typedef void (*standin_reset_fn)(void);

const struct standin_settings *standin_last_settings(void);
/* Forgets the recorded settings and counts (live_contexts is kept: it is a balance). */
void standin_reset(void);

#ifdef __cplusplus
}
#endif
