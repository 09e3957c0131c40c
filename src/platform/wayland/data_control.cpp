#include "platform/wayland/data_control.h"

#include "wlr-data-control-unstable-v1-client-protocol.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QImageWriter>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <map>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>
#include <wayland-client.h>

namespace tarvo::platform::wayland {

std::vector<QByteArray> TextMimeTypes()
{
    return {"text/plain;charset=utf-8", "text/plain", "UTF8_STRING", "STRING", "TEXT"};
}

std::vector<QByteArray> ImageMimeTypes()
{
    // PNG first: lossless and what every reader takes. Then what the image plug-ins can write,
    // as the toolkit's own clipboard offers a picture.
    std::vector<QByteArray> types{"image/png"};
    for (const QByteArray& t : QImageWriter::supportedMimeTypes())
        if (t.startsWith("image/") && t != "image/png") types.push_back(t);
    return types;
}

QByteArray EncodeImageAs(const QImage& image, const QByteArray& mimeType)
{
    for (const QByteArray& format : QImageWriter::imageFormatsForMimeType(mimeType)) {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, format);
        if (writer.write(image)) return bytes;
    }
    return {};
}

namespace {

// One paste request: the bytes go out as fast as the reader takes them, without blocking the
// event loop on a slow or stuck reader.
struct Transfer
{
    int fd = -1;
    QByteArray bytes;
    qsizetype done = 0;
    std::unique_ptr<QSocketNotifier> notifier;

    ~Transfer()
    {
        notifier.reset();
        if (fd >= 0) ::close(fd);
    }
};

// A write to a pipe whose reader went away raises SIGPIPE, which would end the program: it is
// blocked around the write and a pending one taken away again.
ssize_t writeWithoutSigpipe(int fd, const char* data, size_t size)
{
    sigset_t pipeSet;
    sigset_t old;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
    const ssize_t n = ::write(fd, data, size);
    const int err = errno;
    if (n < 0 && err == EPIPE) {
        const timespec zero{};
        while (sigtimedwait(&pipeSet, nullptr, &zero) > 0) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = err;
    return n;
}

} // namespace

struct DataControlClipboard::Connection
{
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_seat* seat = nullptr;
    zwlr_data_control_manager_v1* manager = nullptr;
    zwlr_data_control_device_v1* device = nullptr;
    zwlr_data_control_source_v1* source = nullptr;
    std::unique_ptr<QSocketNotifier> readable;
    bool broken = false;

    // What the current source offers, and the bytes made for each type so far.
    std::vector<QByteArray> mimeTypes;
    std::function<QByteArray(const QByteArray&)> produce;
    std::map<QByteArray, QByteArray> made;
    std::list<Transfer> transfers;

    ~Connection()
    {
        transfers.clear();
        readable.reset();
        if (source) zwlr_data_control_source_v1_destroy(source);
        if (device) zwlr_data_control_device_v1_destroy(device);
        if (manager) zwlr_data_control_manager_v1_destroy(manager);
        if (seat) wl_seat_destroy(seat);
        if (registry) wl_registry_destroy(registry);
        if (display) wl_display_disconnect(display);
    }

    void dropSource()
    {
        if (source) zwlr_data_control_source_v1_destroy(source);
        source = nullptr;
        mimeTypes.clear();
        produce = nullptr;
        made.clear();
    }

    void flush()
    {
        if (wl_display_flush(display) < 0 && errno != EAGAIN) broken = true;
    }

    void fail()
    {
        broken = true;
        if (readable) readable->setEnabled(false);
    }

    void dispatch()
    {
        if (broken) return;
        // A round trip may have read the events already since the notifier fired: read only
        // what is there, never block the event loop.
        while (wl_display_prepare_read(display) != 0)
            if (wl_display_dispatch_pending(display) < 0) return fail();
        flush();
        pollfd p{wl_display_get_fd(display), POLLIN, 0};
        if (::poll(&p, 1, 0) > 0) {
            if (wl_display_read_events(display) < 0) return fail();
        } else {
            wl_display_cancel_read(display);
        }
        if (wl_display_dispatch_pending(display) < 0) return fail();
        flush();
    }

    void send(const QByteArray& mimeType, int fd)
    {
        if (!produce ||
            std::find(mimeTypes.begin(), mimeTypes.end(), mimeType) == mimeTypes.end()) {
            ::close(fd);
            return;
        }
        auto it = made.find(mimeType);
        if (it == made.end()) it = made.emplace(mimeType, produce(mimeType)).first;
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        Transfer& t = transfers.emplace_back();
        t.fd = fd;
        t.bytes = it->second;
        if (!writeSome(t)) {
            transfers.pop_back();
            return;
        }
        t.notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
        Transfer* tp = &t;
        QObject::connect(t.notifier.get(), &QSocketNotifier::activated, t.notifier.get(),
                         [this, tp] {
                             if (writeSome(*tp)) return;
                             // Deleting the notifier inside its own signal is unsafe: let the loop
                             // do it.
                             tp->notifier.release()->deleteLater();
                             transfers.remove_if([tp](const Transfer& x) { return &x == tp; });
                         });
    }

    // Writes what the pipe takes; false when the transfer is over (all written, or the reader
    // went away).
    static bool writeSome(Transfer& t)
    {
        while (t.done < t.bytes.size()) {
            const ssize_t n = writeWithoutSigpipe(t.fd, t.bytes.constData() + t.done,
                                                  size_t(t.bytes.size() - t.done));
            if (n > 0) {
                t.done += n;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
        return false;
    }
};

namespace {

using Connection = DataControlClipboard::Connection;

void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface,
              uint32_t /*version*/)
{
    auto* c = static_cast<Connection*>(data);
    if (!c->seat && std::strcmp(interface, wl_seat_interface.name) == 0)
        c->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    else if (!c->manager &&
             std::strcmp(interface, zwlr_data_control_manager_v1_interface.name) == 0)
        c->manager = static_cast<zwlr_data_control_manager_v1*>(
            wl_registry_bind(registry, name, &zwlr_data_control_manager_v1_interface, 1));
}

void onGlobalRemove(void*, wl_registry*, uint32_t) {}

const wl_registry_listener registryListener{&onGlobal, &onGlobalRemove};

void onOfferMime(void*, zwlr_data_control_offer_v1*, const char*) {}
const zwlr_data_control_offer_v1_listener offerListener{&onOfferMime};

// Other clients' selections are announced too; this program never reads them.
void onDataOffer(void*, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer)
{
    zwlr_data_control_offer_v1_add_listener(offer, &offerListener, nullptr);
}

void onSelection(void*, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer)
{
    if (offer) zwlr_data_control_offer_v1_destroy(offer);
}

void onFinished(void* data, zwlr_data_control_device_v1*)
{
    auto* c = static_cast<Connection*>(data);
    c->dropSource();
    zwlr_data_control_device_v1_destroy(c->device);
    c->device = nullptr;
}

const zwlr_data_control_device_v1_listener deviceListener{&onDataOffer, &onSelection, &onFinished};

void onSend(void* data, zwlr_data_control_source_v1* source, const char* mimeType, int32_t fd)
{
    auto* c = static_cast<Connection*>(data);
    if (source != c->source) {
        ::close(fd);
        return;
    }
    c->send(QByteArray(mimeType), fd);
}

void onCancelled(void* data, zwlr_data_control_source_v1* source)
{
    auto* c = static_cast<Connection*>(data);
    if (source == c->source) {
        c->dropSource();
    } else {
        zwlr_data_control_source_v1_destroy(source);
    }
}

const zwlr_data_control_source_v1_listener sourceListener{&onSend, &onCancelled};

} // namespace

DataControlClipboard* DataControlClipboard::Instance()
{
    static bool tried = false;
    static DataControlClipboard* instance = nullptr;
    if (tried) return instance;
    tried = true;
    // Owned by the application object, so it goes (and lets the selection go) before it.
    if (QCoreApplication* app = QCoreApplication::instance()) {
        instance = Connect().release();
        if (instance) instance->setParent(app);
    }
    return instance;
}

std::unique_ptr<DataControlClipboard> DataControlClipboard::Connect(const QByteArray& displayName)
{
    auto c = std::make_unique<Connection>();
    c->display = wl_display_connect(displayName.isEmpty() ? nullptr : displayName.constData());
    if (!c->display) return nullptr;
    c->registry = wl_display_get_registry(c->display);
    wl_registry_add_listener(c->registry, &registryListener, c.get());
    if (wl_display_roundtrip(c->display) < 0 || !c->seat || !c->manager) return nullptr;
    c->device = zwlr_data_control_manager_v1_get_data_device(c->manager, c->seat);
    zwlr_data_control_device_v1_add_listener(c->device, &deviceListener, c.get());
    if (wl_display_roundtrip(c->display) < 0) return nullptr;

    c->readable =
        std::make_unique<QSocketNotifier>(wl_display_get_fd(c->display), QSocketNotifier::Read);
    Connection* cp = c.get();
    QObject::connect(c->readable.get(), &QSocketNotifier::activated, c->readable.get(),
                     [cp] { cp->dispatch(); });
    return std::unique_ptr<DataControlClipboard>(new DataControlClipboard(std::move(c)));
}

DataControlClipboard::DataControlClipboard(std::unique_ptr<Connection> connection)
    : c_(std::move(connection))
{
}

DataControlClipboard::~DataControlClipboard() = default;

bool DataControlClipboard::offer(std::vector<QByteArray> mimeTypes,
                                 std::function<QByteArray(const QByteArray&)> produce)
{
    if (c_->broken || !c_->device) return false;
    zwlr_data_control_source_v1* source =
        zwlr_data_control_manager_v1_create_data_source(c_->manager);
    zwlr_data_control_source_v1_add_listener(source, &sourceListener, c_.get());
    for (const QByteArray& t : mimeTypes)
        zwlr_data_control_source_v1_offer(source, t.constData());
    zwlr_data_control_device_v1_set_selection(c_->device, source);
    c_->dropSource();
    c_->source = source;
    c_->mimeTypes = std::move(mimeTypes);
    c_->produce = std::move(produce);
    // Once the compositor has it, a paste right after this returns gets the new selection.
    if (wl_display_roundtrip(c_->display) < 0) c_->broken = true;
    return !c_->broken;
}

bool DataControlClipboard::SetText(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    return offer(TextMimeTypes(), [utf8](const QByteArray&) { return QByteArray(utf8); });
}

bool DataControlClipboard::SetImage(const QImage& image,
                                    const std::function<QByteArray(const QImage&)>& makePng)
{
    // The PNG is made at once, so the first paste need not wait for it; other types on demand.
    const QByteArray png = makePng ? makePng(image) : EncodeImageAs(image, "image/png");
    if (png.isEmpty()) return false;
    return offer(ImageMimeTypes(), [image, png](const QByteArray& type) {
        return type == "image/png" ? png : EncodeImageAs(image, type);
    });
}

bool DataControlClipboard::OwnsSelection() const
{
    return c_->source != nullptr && !c_->broken;
}

} // namespace tarvo::platform::wayland
