/* paste_probe: one capture of a resident Tarvo driven as a user would (the capture key, then a
 * drag with XTest), timed from the button release to the moment the clipboard answers a paste
 * with the result: a PNG of the dragged size (-m png) or a web link (-m link).
 *
 * Before the key, the probe takes the clipboard itself, so an answer from an earlier capture
 * cannot count. From the release on it asks the owner again and again, as a paste would, until
 * one answer holds the result.
 *
 * Usage: paste_probe [-m png|link] [-x X1,Y1,X2,Y2] [-k KEYSYM] [-t TIMEOUT_MS] [-v]
 * Output: one line "paste_after_release_ms=T asks=N bytes=B" (T = -1 when never answered).
 */
#define _GNU_SOURCE
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static double now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

static void sleep_ms(double ms)
{
    struct timespec ts = {(time_t)(ms / 1000), (long)((ms - (time_t)(ms / 1000) * 1000) * 1e6)};
    nanosleep(&ts, NULL);
}

/* Waits for an event that pred accepts, up to until (ms on the monotonic clock). */
static int wait_event(Display* d, XEvent* e, double until, int (*pred)(XEvent*, void*), void* arg)
{
    struct pollfd pf = {ConnectionNumber(d), POLLIN, 0};
    for (;;) {
        while (XPending(d)) {
            XNextEvent(d, e);
            if (pred(e, arg)) return 1;
        }
        const double left = until - now_ms();
        if (left <= 0) return 0;
        poll(&pf, 1, (int)left + 1);
    }
}

struct Probe
{
    Display* d;
    Window win;
    Atom clipboard, prop, incr, target;
};

static int is_full_map(XEvent* e, void* arg)
{
    Display* d = arg;
    if (e->type != MapNotify) return 0;
    XWindowAttributes a;
    if (!XGetWindowAttributes(d, e->xmap.window, &a)) return 0;
    const Screen* s = DefaultScreenOfDisplay(d);
    return (double)a.width * a.height >= 0.9 * WidthOfScreen(s) * HeightOfScreen(s);
}

static int is_notify(XEvent* e, void* arg)
{
    (void)arg;
    return e->type == SelectionNotify;
}

static int is_new_value(XEvent* e, void* arg)
{
    struct Probe* p = arg;
    return e->type == PropertyNotify && e->xproperty.atom == p->prop &&
           e->xproperty.state == PropertyNewValue;
}

/* The whole property (INCR transfers included); NULL when there is none. */
static unsigned char* read_reply(struct Probe* p, size_t* size, double until)
{
    Atom type;
    int format;
    unsigned long n, after;
    unsigned char* data = NULL;
    if (XGetWindowProperty(p->d, p->win, p->prop, 0, 0x7fffffff, True, AnyPropertyType, &type,
                           &format, &n, &after, &data) != Success)
        return NULL;
    if (type != p->incr) {
        *size = n * (size_t)(format / 8);
        return data;
    }
    XFree(data);
    unsigned char* all = NULL;
    size_t have = 0;
    for (;;) {
        XEvent e;
        if (!wait_event(p->d, &e, until, is_new_value, p)) break;
        if (XGetWindowProperty(p->d, p->win, p->prop, 0, 0x7fffffff, True, AnyPropertyType, &type,
                               &format, &n, &after, &data) != Success)
            break;
        const size_t part = n * (size_t)(format / 8);
        if (part == 0) {
            XFree(data);
            *size = have;
            return all;
        }
        all = realloc(all, have + part);
        memcpy(all + have, data, part);
        have += part;
        XFree(data);
    }
    free(all);
    return NULL;
}

static unsigned be32(const unsigned char* b)
{
    return (unsigned)b[0] << 24 | (unsigned)b[1] << 16 | (unsigned)b[2] << 8 | b[3];
}

int main(int argc, char** argv)
{
    const char *mode = "png", *keyname = "Print";
    int x1 = 300, y1 = 200, x2 = 1100, y2 = 700, verbose = 0, opt;
    double timeout = 10000;
    while ((opt = getopt(argc, argv, "m:x:k:t:v")) != -1) {
        switch (opt) {
        case 'm':
            mode = optarg;
            break;
        case 'x':
            if (sscanf(optarg, "%d,%d,%d,%d", &x1, &y1, &x2, &y2) != 4) return 2;
            break;
        case 'k':
            keyname = optarg;
            break;
        case 't':
            timeout = atof(optarg);
            break;
        case 'v':
            verbose = 1;
            break;
        default:
            fprintf(stderr, "usage: paste_probe [-m png|link] [-x X1,Y1,X2,Y2] [-k KEYSYM] "
                            "[-t TIMEOUT_MS] [-v]\n");
            return 2;
        }
    }
    const int png = strcmp(mode, "png") == 0;
    struct Probe p;
    p.d = XOpenDisplay(NULL);
    if (!p.d) return 3;
    Display* d = p.d;
    const Window root = DefaultRootWindow(d);
    p.win = XCreateSimpleWindow(d, root, 0, 0, 1, 1, 0, 0, 0);
    XSelectInput(d, p.win, PropertyChangeMask);
    p.clipboard = XInternAtom(d, "CLIPBOARD", False);
    p.prop = XInternAtom(d, "PASTE_PROBE", False);
    p.incr = XInternAtom(d, "INCR", False);
    p.target = XInternAtom(d, png ? "image/png" : "UTF8_STRING", False);
    XSetSelectionOwner(d, p.clipboard, p.win, CurrentTime);
    XSelectInput(d, root, SubstructureNotifyMask);
    XSync(d, False);

    const KeyCode key = XKeysymToKeycode(d, XStringToKeysym(keyname));
    XTestFakeMotionEvent(d, -1, x1, y1, 0);
    XTestFakeKeyEvent(d, key, True, 0);
    XTestFakeKeyEvent(d, key, False, 0);
    XSync(d, False);
    XEvent e;
    if (!wait_event(d, &e, now_ms() + timeout, is_full_map, d)) {
        printf("paste_after_release_ms=-1 asks=0 bytes=0 no_overlay=1\n");
        return 1;
    }
    sleep_ms(150); /* the overlay takes the pointer right after its map */
    /* as the peer harness drags: press, 8 steps 15 ms apart, 100 ms hold, release */
    XTestFakeButtonEvent(d, 1, True, 0);
    XSync(d, False);
    sleep_ms(30);
    for (int i = 1; i <= 8; i++) {
        XTestFakeMotionEvent(d, -1, x1 + (x2 - x1) * i / 8, y1 + (y2 - y1) * i / 8, 0);
        XSync(d, False);
        sleep_ms(15);
    }
    sleep_ms(100);
    XTestFakeButtonEvent(d, 1, False, 0);
    XSync(d, False);
    const double released = now_ms();
    XSelectInput(d, root, NoEventMask);

    int asks = 0;
    size_t size = 0;
    double answered = -1;
    while (now_ms() - released < timeout) {
        const Window owner = XGetSelectionOwner(d, p.clipboard);
        if (owner == None || owner == p.win) {
            sleep_ms(0.2);
            continue;
        }
        ++asks;
        XConvertSelection(d, p.clipboard, p.target, p.prop, p.win, CurrentTime);
        XFlush(d);
        if (!wait_event(d, &e, now_ms() + 2000, is_notify, NULL)) continue;
        if (e.xselection.property == None) {
            sleep_ms(0.2);
            continue;
        }
        unsigned char* data = read_reply(&p, &size, now_ms() + 2000);
        int ok = 0;
        if (data && png)
            ok = size > 24 && memcmp(data, "\x89PNG\r\n\x1a\n", 8) == 0 && be32(data + 16) > 0 &&
                 be32(data + 20) > 0;
        else if (data)
            ok = size > 7 && strncmp((const char*)data, "http", 4) == 0;
        if (verbose)
            fprintf(stderr, "ask %d: %zu bytes%s\n", asks, data ? size : 0,
                    ok ? " (the result)" : "");
        if (data && png && ok && verbose)
            fprintf(stderr, "png %ux%u\n", be32(data + 16), be32(data + 20));
        free(data);
        if (ok) {
            answered = now_ms() - released;
            break;
        }
        sleep_ms(0.2);
    }
    printf("paste_after_release_ms=%.3f asks=%d bytes=%zu\n", answered, asks, size);
    XCloseDisplay(d);
    return answered < 0;
}
