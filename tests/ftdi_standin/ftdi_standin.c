/* A stand-in for libftdi1 with the entry points the FTDI road loads, and the libusb
 * listing the road finds through it. It presents one converter (or several) whose product
 * strings come from $QTX_STANDIN_DESCRIPTION, and carries the converter's bytes to and from
 * the terminal device named by $QTX_STANDIN_PORT, so the FTDI road can talk to the pty
 * device emulator without hardware.
 *
 * $QTX_STANDIN_DESCRIPTION: converters separated by '|', each a product string, optionally
 * after its USB id and a blank ("1209:7001 Halvery USB Docking station"); without one a
 * converter has FTDI's own 0403:6001. Unset means one docking station, set but empty means
 * no converter at all. Every converter opens the same port.
 *
 * As in libftdi1, ftdi_usb_find_all sees only converters on FTDI's own ids; libusb's list
 * holds them all, each on bus 3 at address 20 onwards, so that a list position taken for
 * an address finds no device.
 *
 * Built with STANDIN_WITHOUT_WRITE it lacks ftdi_write_data, as a broken or foreign
 * library would, for the road's "entry point missing" handling. */

#define _GNU_SOURCE
#include <ftdi.h>
#include <libusb.h>

#include "ftdi_standin.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define STANDIN_DEFAULT_DESCRIPTION "Halvery USB Docking station"
#define STANDIN_MAX_DEVICES 8
#define STANDIN_CHIP_DEFAULT_LATENCY 16 /* what the chip uses until told otherwise */
#define STANDIN_BUS 3
#define STANDIN_FIRST_ADDRESS 20

/* Never dereferenced by callers; only checked for NULL, as libftdi itself does. */
static int open_marker;

struct standin_context {
    struct ftdi_context ctx; /* first: the caller's pointer is this member's address */
    int fd;
    int latency;
    char error[256];
};

struct standin_device {
    char description[128];
    unsigned vendor, product;
    uint8_t bus, address;
};

struct standin_node {
    struct ftdi_device_list entry; /* first: ftdi_list_free frees through it */
    struct standin_device device;
};

static struct standin_settings settings = {0, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, ""};

const struct standin_settings *standin_last_settings(void)
{
    return &settings;
}

void standin_reset(void)
{
    const int live = settings.live_contexts;
    const struct standin_settings fresh = {0, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, live, ""};
    settings = fresh;
}

static struct standin_context *outer(struct ftdi_context *ftdi)
{
    return (struct standin_context *)ftdi;
}

static int fail(struct ftdi_context *ftdi, int code, const char *text)
{
    if (ftdi)
        ftdi->error_str = text;
    return code;
}

static int is_open(const struct ftdi_context *ftdi)
{
    return ftdi && ftdi->usb_dev != NULL && ((const struct standin_context *)ftdi)->fd >= 0;
}

struct ftdi_context *ftdi_new(void)
{
    struct standin_context *s = calloc(1, sizeof *s);
    if (!s)
        return NULL;
    s->fd = -1;
    s->latency = STANDIN_CHIP_DEFAULT_LATENCY;
    s->ctx.usb_read_timeout = 5000; /* libftdi's defaults */
    s->ctx.usb_write_timeout = 5000;
    s->ctx.baudrate = -1;
    s->ctx.readbuffer_chunksize = 4096;
    s->ctx.writebuffer_chunksize = 4096;
    ++settings.live_contexts;
    return &s->ctx;
}

int ftdi_usb_close(struct ftdi_context *ftdi)
{
    if (!ftdi)
        return fail(ftdi, -3, "ftdi context invalid");
    struct standin_context *s = outer(ftdi);
    if (s->fd >= 0) {
        close(s->fd);
        s->fd = -1;
        ++settings.closes;
    }
    ftdi->usb_dev = NULL;
    return 0;
}

void ftdi_free(struct ftdi_context *ftdi)
{
    if (!ftdi)
        return;
    ftdi_usb_close(ftdi);
    --settings.live_contexts;
    free(outer(ftdi));
}

/* The converters $QTX_STANDIN_DESCRIPTION names, at most `max`; their number. */
static int present_devices(struct standin_device *devices, int max)
{
    const char *env = getenv("QTX_STANDIN_DESCRIPTION");
    char names[STANDIN_MAX_DEVICES * 128];
    snprintf(names, sizeof names, "%s", env ? env : STANDIN_DEFAULT_DESCRIPTION);
    if (!names[0])
        return 0;
    int count = 0;
    for (char *rest = names; rest && count < max; ++count) {
        char *bar = strchr(rest, '|');
        if (bar)
            *bar = '\0';
        struct standin_device *d = &devices[count];
        int used = 0;
        if (sscanf(rest, "%4x:%4x%n", &d->vendor, &d->product, &used) == 2 && used == 9 && rest[9] == ' ') {
            rest += 10;
        } else {
            d->vendor = 0x0403;
            d->product = 0x6001;
        }
        snprintf(d->description, sizeof d->description, "%.127s", rest);
        d->bus = STANDIN_BUS;
        d->address = (uint8_t)(STANDIN_FIRST_ADDRESS + count);
        rest = bar ? bar + 1 : NULL;
    }
    return count;
}

/* The ids libftdi1 looks for when asked for none. */
static int ftdi_own_id(const struct standin_device *d)
{
    const unsigned p = d->product;
    return d->vendor == 0x0403 && (p == 0x6001 || p == 0x6010 || p == 0x6011 || p == 0x6014 || p == 0x6015);
}

int ftdi_usb_find_all(struct ftdi_context *ftdi, struct ftdi_device_list **devlist, int vendor, int product)
{
    if (!ftdi || !devlist)
        return fail(ftdi, -3, "ftdi context invalid");
    *devlist = NULL;
    struct standin_device devices[STANDIN_MAX_DEVICES];
    const int present = present_devices(devices, STANDIN_MAX_DEVICES);
    struct ftdi_device_list **tail = devlist;
    int count = 0;
    for (int i = 0; i < present; ++i) {
        const struct standin_device *d = &devices[i];
        if ((vendor || product) ? d->vendor != (unsigned)vendor || d->product != (unsigned)product : !ftdi_own_id(d))
            continue;
        struct standin_node *node = calloc(1, sizeof *node);
        if (!node) {
            ftdi_list_free(devlist);
            return fail(ftdi, -3, "out of memory");
        }
        node->device = devices[i];
        node->entry.dev = (struct libusb_device *)&node->device;
        *tail = &node->entry;
        tail = &node->entry.next;
        ++count;
    }
    return count;
}

void ftdi_list_free(struct ftdi_device_list **devlist)
{
    if (!devlist)
        return;
    struct ftdi_device_list *e = *devlist;
    while (e) {
        struct ftdi_device_list *next = e->next;
        free(e);
        e = next;
    }
    *devlist = NULL;
}

ssize_t libusb_get_device_list(libusb_context *ctx, libusb_device ***list)
{
    (void)ctx;
    struct standin_device devices[STANDIN_MAX_DEVICES];
    const int count = present_devices(devices, STANDIN_MAX_DEVICES);
    libusb_device **entries = calloc((size_t)count + 1, sizeof *entries);
    if (!entries)
        return LIBUSB_ERROR_NO_MEM;
    for (int i = 0; i < count; ++i) {
        struct standin_device *d = malloc(sizeof *d);
        if (!d) {
            libusb_free_device_list(entries, 1);
            return LIBUSB_ERROR_NO_MEM;
        }
        *d = devices[i];
        entries[i] = (libusb_device *)d;
    }
    *list = entries;
    return count;
}

void libusb_free_device_list(libusb_device **list, int unref_devices)
{
    if (!list)
        return;
    for (libusb_device **e = list; unref_devices && *e; ++e)
        free(*e);
    free(list);
}

uint8_t libusb_get_bus_number(libusb_device *dev)
{
    return ((const struct standin_device *)dev)->bus;
}

uint8_t libusb_get_device_address(libusb_device *dev)
{
    return ((const struct standin_device *)dev)->address;
}

/* Like libusb's ASCII string descriptors: at most len-1 characters and a terminating zero. */
static void put_string(char *buffer, int len, const char *text)
{
    if (buffer && len > 0)
        snprintf(buffer, (size_t)len, "%s", text);
}

int ftdi_usb_get_strings(struct ftdi_context *ftdi, struct libusb_device *dev, char *manufacturer, int mnf_len,
                         char *description, int desc_len, char *serial, int serial_len)
{
    if (!ftdi || !dev)
        return fail(ftdi, -1, "wrong arguments");
    const struct standin_device *d = (const struct standin_device *)dev;
    put_string(manufacturer, mnf_len, "Halvery");
    put_string(description, desc_len, d->description);
    put_string(serial, serial_len, "HV000001");
    return 0;
}

int ftdi_usb_open_dev(struct ftdi_context *ftdi, struct libusb_device *dev)
{
    if (!ftdi)
        return fail(ftdi, -8, "ftdi context invalid");
    if (!dev)
        return fail(ftdi, -8, "device invalid");
    struct standin_context *s = outer(ftdi);
    const char *port = getenv("QTX_STANDIN_PORT");
    if (!port || !*port)
        return fail(ftdi, -4, "libusb_open() failed (no QTX_STANDIN_PORT)");
    if (s->fd >= 0)
        ftdi_usb_close(ftdi);
    const int fd = open(port, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        snprintf(s->error, sizeof s->error, "libusb_open() failed (%s: %s)", port, strerror(errno));
        return fail(ftdi, -4, s->error);
    }
    struct termios tio;
    if (tcgetattr(fd, &tio) == 0) {
        /* Raw with VMIN 1: an empty line then answers EAGAIN, so that 0 only means hung up. */
        cfmakeraw(&tio);
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &tio);
    }
    s->fd = fd;
    ftdi->usb_dev = (struct libusb_device_handle *)&open_marker;
    ++settings.opens;
    snprintf(settings.opened, sizeof settings.opened, "%s", ((const struct standin_device *)dev)->description);
    return 0;
}

/* As libftdi1 does it: the device of that bus and address in libusb's list, opened. */
int ftdi_usb_open_bus_addr(struct ftdi_context *ftdi, uint8_t bus, uint8_t addr)
{
    if (!ftdi)
        return fail(ftdi, -3, "ftdi context invalid");
    struct standin_device devices[STANDIN_MAX_DEVICES];
    const int count = present_devices(devices, STANDIN_MAX_DEVICES);
    for (int i = 0; i < count; ++i)
        if (devices[i].bus == bus && devices[i].address == addr)
            return ftdi_usb_open_dev(ftdi, (struct libusb_device *)&devices[i]);
    return fail(ftdi, -3, "device not found");
}

int ftdi_set_baudrate(struct ftdi_context *ftdi, int baudrate)
{
    if (!is_open(ftdi))
        return fail(ftdi, -3, "USB device unavailable");
    if (baudrate <= 0)
        return fail(ftdi, -1, "Silly baudrate <= 0.");
    ftdi->baudrate = baudrate;
    settings.baudrate = baudrate;
    return 0;
}

int ftdi_set_line_property(struct ftdi_context *ftdi, enum ftdi_bits_type bits, enum ftdi_stopbits_type sbit,
                           enum ftdi_parity_type parity)
{
    if (!is_open(ftdi))
        return fail(ftdi, -2, "USB device unavailable");
    settings.bits = (int)bits;
    settings.stop_bits = (int)sbit;
    settings.parity = (int)parity;
    return 0;
}

int ftdi_set_latency_timer(struct ftdi_context *ftdi, unsigned char latency)
{
    if (latency < 1)
        return fail(ftdi, -1, "latency out of range. Only valid for 1-255");
    if (!is_open(ftdi))
        return fail(ftdi, -3, "USB device unavailable");
    outer(ftdi)->latency = latency;
    settings.latency = latency;
    return 0;
}

int ftdi_read_data_set_chunksize(struct ftdi_context *ftdi, unsigned int chunksize)
{
    if (!ftdi)
        return fail(ftdi, -1, "ftdi context invalid");
    ftdi->readbuffer_chunksize = chunksize;
    settings.chunk_size = (int)chunksize;
    return 0;
}

int ftdi_tcioflush(struct ftdi_context *ftdi)
{
    if (!is_open(ftdi))
        return fail(ftdi, -3, "USB device unavailable");
    if (tcflush(outer(ftdi)->fd, TCIOFLUSH) != 0)
        return fail(ftdi, -1, "FTDI purge of RX buffer failed");
    ++settings.flushes;
    return 0;
}

/* Hands over what has arrived. With nothing there it waits one latency period, as the chip
 * sends a status-only packet when its latency timer runs out, and then answers 0. */
int ftdi_read_data(struct ftdi_context *ftdi, unsigned char *buf, int size)
{
    if (!is_open(ftdi))
        return fail(ftdi, -666, "USB device unavailable");
    if (!buf || size <= 0)
        return fail(ftdi, -1, "wrong arguments");
    struct standin_context *s = outer(ftdi);
    settings.read_timeout = ftdi->usb_read_timeout;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const ssize_t n = read(s->fd, buf, (size_t)size);
        if (n > 0)
            return (int)n;
        /* An empty non-blocking line says EAGAIN; 0 is a hung-up line, as a pulled-out
         * converter is to libusb. */
        if (n == 0 || (errno != EAGAIN && errno != EINTR))
            return fail(ftdi, -1, "usb bulk read failed");
        if (attempt == 0) {
            struct pollfd p = {s->fd, POLLIN, 0};
            const int r = poll(&p, 1, s->latency);
            if (r < 0 && errno != EINTR)
                return fail(ftdi, -1, "usb bulk read failed");
            if (r > 0 && !(p.revents & POLLIN) && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
                return fail(ftdi, -1, "usb bulk read failed");
        }
    }
    return 0;
}

#ifndef STANDIN_WITHOUT_WRITE
static long long now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int ftdi_write_data(struct ftdi_context *ftdi, const unsigned char *buf, int size)
{
    if (!is_open(ftdi))
        return fail(ftdi, -666, "USB device unavailable");
    if (!buf || size < 0)
        return fail(ftdi, -1, "wrong arguments");
    struct standin_context *s = outer(ftdi);
    settings.write_timeout = ftdi->usb_write_timeout;
    const long long deadline = now_ms() + (ftdi->usb_write_timeout > 0 ? ftdi->usb_write_timeout : 0);
    int done = 0;
    while (done < size) {
        const ssize_t n = write(s->fd, buf + done, (size_t)(size - done));
        if (n > 0) {
            done += (int)n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return fail(ftdi, -1, "usb bulk write failed");
        const long long left = deadline - now_ms();
        if (left <= 0)
            break;
        struct pollfd p = {s->fd, POLLOUT, 0};
        if (poll(&p, 1, (int)left) < 0 && errno != EINTR)
            return fail(ftdi, -1, "usb bulk write failed");
    }
    if (done == 0 && size > 0)
        return fail(ftdi, -1, "usb bulk write failed");
    return done;
}
#endif

const char *ftdi_get_error_string(struct ftdi_context *ftdi)
{
    return ftdi ? ftdi->error_str : NULL;
}
