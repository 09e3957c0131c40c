// A pointer for tests in a Wayland session without input devices: a virtual pointer
// (zwlr_virtual_pointer_v1) driven by a script on the command line, all in one connection so a
// button held stays held across moves.
//   tarvo_wl_pointer --extent W H move X Y press [BUTTON] wait MS move X Y release [BUTTON]
// Positions are in the compositor's layout, whose size is the extent.
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <wayland-client.h>

namespace {

constexpr uint32_t kLeftButton = 0x110; // BTN_LEFT

struct Globals
{
    wl_seat* seat = nullptr;
    zwlr_virtual_pointer_manager_v1* manager = nullptr;
};

void Global(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t)
{
    auto* g = static_cast<Globals*>(data);
    if (std::strcmp(interface, wl_seat_interface.name) == 0 && !g->seat)
        g->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    else if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0)
        g->manager = static_cast<zwlr_virtual_pointer_manager_v1*>(
            wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
}

void GlobalRemove(void*, wl_registry*, uint32_t) {}

uint32_t Now()
{
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

bool Number(const char* text, long* value)
{
    char* end = nullptr;
    *value = std::strtol(text, &end, 10);
    return end && *end == '\0' && end != text;
}

} // namespace

int main(int argc, char** argv)
{
    long extentW = 0;
    long extentH = 0;
    int i = 1;
    if (argc > 3 && std::strcmp(argv[1], "--extent") == 0 && Number(argv[2], &extentW) &&
        Number(argv[3], &extentH))
        i = 4;
    if (extentW <= 0 || extentH <= 0) {
        std::fprintf(stderr, "usage: %s --extent W H [move X Y|press [B]|release [B]|wait MS]...\n",
                     argv[0]);
        return 2;
    }
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        std::fprintf(stderr, "no Wayland display\n");
        return 1;
    }
    Globals g;
    static const wl_registry_listener listener = {.global = Global, .global_remove = GlobalRemove};
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &listener, &g);
    wl_display_roundtrip(display);
    if (!g.manager) {
        std::fprintf(stderr, "the compositor offers no virtual pointer\n");
        return 1;
    }
    zwlr_virtual_pointer_v1* pointer =
        zwlr_virtual_pointer_manager_v1_create_virtual_pointer(g.manager, g.seat);
    wl_display_roundtrip(display);

    int rc = 0;
    while (i < argc && rc == 0) {
        const std::string op = argv[i++];
        long a = 0;
        long b = 0;
        if (op == "move" && i + 1 < argc && Number(argv[i], &a) && Number(argv[i + 1], &b)) {
            i += 2;
            zwlr_virtual_pointer_v1_motion_absolute(
                pointer, Now(), static_cast<uint32_t>(a), static_cast<uint32_t>(b),
                static_cast<uint32_t>(extentW), static_cast<uint32_t>(extentH));
            zwlr_virtual_pointer_v1_frame(pointer);
        } else if (op == "press" || op == "release") {
            long button = kLeftButton;
            // Number() writes 0 for a word that is not one: read into a spare first.
            if (long given = 0; i < argc && Number(argv[i], &given)) {
                button = given;
                ++i;
            }
            zwlr_virtual_pointer_v1_button(pointer, Now(), static_cast<uint32_t>(button),
                                           op == "press" ? WL_POINTER_BUTTON_STATE_PRESSED
                                                         : WL_POINTER_BUTTON_STATE_RELEASED);
            zwlr_virtual_pointer_v1_frame(pointer);
        } else if (op == "wait" && i < argc && Number(argv[i], &a)) {
            ++i;
            std::this_thread::sleep_for(std::chrono::milliseconds(a));
        } else {
            std::fprintf(stderr, "cannot read the script at '%s'\n", op.c_str());
            rc = 2;
        }
        if (wl_display_roundtrip(display) < 0) rc = 1;
    }
    // The device goes with the connection; the protocol's destroy is not part of our subset.
    wl_proxy_destroy(reinterpret_cast<wl_proxy*>(pointer));
    wl_proxy_destroy(reinterpret_cast<wl_proxy*>(g.manager));
    if (g.seat) wl_seat_destroy(g.seat);
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return rc;
}
