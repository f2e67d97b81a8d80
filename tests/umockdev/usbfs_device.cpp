#include "umockdev/usbfs_device.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "support/bus_pump.h"

namespace umock {

namespace {

using Clock = std::chrono::steady_clock;

// The bytes a ioctl argument points at, fetched from the host; null when it cannot be read.
UMockdevIoctlData* resolve(UMockdevIoctlData* data, size_t offset, size_t len) {
    GError* err = nullptr;
    UMockdevIoctlData* out = umockdev_ioctl_data_resolve(data, offset, len, &err);
    if (err != nullptr) g_error_free(err);
    return out;
}

// The unsigned int a request's argument points at.
std::optional<unsigned> uint_arg(UMockdevIoctlClient* client) {
    UMockdevIoctlData* d = resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(unsigned));
    if (d == nullptr) return std::nullopt;
    unsigned v = 0;
    std::memcpy(&v, d->data, sizeof v);
    g_object_unref(d);
    return v;
}

gboolean on_ioctl(UMockdevIoctlBase* /*node*/, UMockdevIoctlClient* client, gpointer self) {
    auto* dev = static_cast<UsbfsDevice*>(self);
    int generation = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(client), "umock-generation"));
    return dev->ioctl(generation, client);
}

void on_connected(UMockdevIoctlBase* node, UMockdevIoctlClient* client, gpointer self) {
    // the node's appearance on the bus goes with every host that opens it
    int generation = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(node), "umock-generation"));
    g_object_set_data(G_OBJECT(client), "umock-generation", GINT_TO_POINTER(generation));
    static_cast<UsbfsDevice*>(self)->opened(generation);
}

}  // namespace

UsbfsDevice::UsbfsDevice(DeviceDesc desc, devsim::Bootloader* core,
                         std::function<void(uint32_t)> away)
    : desc_(std::move(desc)),
      descriptors_(descriptors(desc_)),
      core_(core),
      away_(std::move(away)) {}

UsbfsDevice::~UsbfsDevice() {
    for (auto* q : {&pending_in_, &pending_out_, &done_})
        for (auto& u : *q) release(u);
    for (auto* n : nodes_) g_object_unref(n);
}

UMockdevIoctlBase* UsbfsDevice::new_node() {
    std::lock_guard lock(mu_);
    UMockdevIoctlBase* node = umockdev_ioctl_base_new();
    ++generation_;
    g_object_set_data(G_OBJECT(node), "umock-generation", GINT_TO_POINTER(generation_));
    g_signal_connect(node, "handle-ioctl", G_CALLBACK(on_ioctl), this);
    g_signal_connect(node, "client-connected", G_CALLBACK(on_connected), this);
    nodes_.push_back(node);
    on_bus_ = true;
    halted_.clear();
    return node;
}

void UsbfsDevice::back() {
    std::lock_guard lock(mu_);
    if (core_ != nullptr) core_->back();
}

void UsbfsDevice::stall_transfer(Pipe pipe, uint32_t n) {
    std::lock_guard lock(mu_);
    stall_at_[static_cast<int>(pipe)] = n;
}

bool UsbfsDevice::stalls(Pipe pipe) {
    const auto i = static_cast<int>(pipe);
    return ++transfers_[i] == stall_at_[i];
}

void UsbfsDevice::left_mid_download(uint32_t size, uint32_t sent) {
    std::lock_guard lock(mu_);
    char cmd[32];
    std::snprintf(cmd, sizeof cmd, "download:%08x", size);
    const auto feed = [this](const void* bytes, uint32_t len) {
        std::memcpy(core_->transfer_buffer(len).data(), bytes, len);
        core_->transfer_done(len);
    };
    feed(cmd, static_cast<uint32_t>(std::strlen(cmd)));
    const std::string data(sent, 'k');
    feed(data.data(), sent);
    // nobody reads what it said
    core_->output().clear();
}

Seen UsbfsDevice::seen() {
    std::lock_guard lock(mu_);
    return seen_;
}

void UsbfsDevice::opened(int generation) {
    std::lock_guard lock(mu_);
    if (generation == generation_) ++seen_.opens;
}

void UsbfsDevice::release(Urb& u) {
    if (u.buf != nullptr) g_object_unref(u.buf);
    if (u.urb != nullptr) g_object_unref(u.urb);
    u.buf = u.urb = nullptr;
}

gboolean UsbfsDevice::ioctl(int generation, UMockdevIoctlClient* client) {
    std::lock_guard lock(mu_);
    const gulong request = umockdev_ioctl_client_get_request(client);
    // transfers that ended before the device left the bus can still be reaped
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        reap(client, generation);
        return TRUE;
    }
    // a device that has left the bus: every other request on its old node fails
    if (!on_bus_ || generation != generation_) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            // one URB carries a whole transfer, however long
            UMockdevIoctlData* d = resolve(umockdev_ioctl_client_get_arg(client), 0, 4);
            const uint32_t caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                  USBDEVFS_CAP_BULK_SCATTER_GATHER;
            std::memcpy(d->data, &caps, sizeof caps);
            umockdev_ioctl_client_complete(client, 0, 0);
            g_object_unref(d);
            return TRUE;
        }
        case USBDEVFS_GET_SPEED:
            umockdev_ioctl_client_complete(client, 3, 0);  // high speed
            return TRUE;
        case USBDEVFS_GETDRIVER:
        case USBDEVFS_IOCTL:
            // no kernel driver holds any of its interfaces, nor one to disconnect
            umockdev_ioctl_client_complete(client, -1, ENODATA);
            return TRUE;
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE: {
            auto n = uint_arg(client);
            if (!n || *n >= desc_.interfaces.size()) {
                umockdev_ioctl_client_complete(client, -1, EINVAL);
                return TRUE;
            }
            if (request == USBDEVFS_CLAIMINTERFACE) seen_.claimed.insert(*n);
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_CLEAR_HALT: {
            auto ep = uint_arg(client);
            if (ep) {
                halted_.erase(*ep);
                seen_.cleared.push_back(*ep);
            }
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_RESET:
            // a port reset: the device drops what it was in the middle of, and what it had
            // still to say (a command it acknowledged is carried out)
            ++seen_.resets;
            halted_.clear();
            if (core_ != nullptr) {
                auto& out = core_->output();
                while (!out.empty()) {
                    const devsim::OutputKind kind = out.front().kind;
                    out.pop_front();
                    if (kind == devsim::OutputKind::Work) core_->run_pending();
                }
                core_->host_left();
            }
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_SETINTERFACE:
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        case USBDEVFS_SUBMITURB:
            submit(client);
            return TRUE;
        case USBDEVFS_DISCARDURB:
            discard(client);
            return TRUE;
        default:
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return TRUE;
    }
}

void UsbfsDevice::submit(UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    Urb u;
    u.generation = generation_;
    std::memcpy(&u.address, arg->data, sizeof(void*));
    u.urb = resolve(arg, 0, sizeof(usbdevfs_urb));
    if (u.urb == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    usbdevfs_urb head{};
    std::memcpy(&head, u.urb->data, sizeof head);
    u.endpoint = head.endpoint;
    u.length = head.buffer_length > 0 ? static_cast<uint32_t>(head.buffer_length) : 0;
    if (u.length > 0) {
        u.buf = resolve(u.urb, offsetof(usbdevfs_urb, buffer), u.length);
        if (u.buf == nullptr) {
            release(u);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
    }
    umockdev_ioctl_client_complete(client, 0, 0);

    if (head.type == USBDEVFS_URB_TYPE_CONTROL) {
        control(u);
        done_.push_back(u);
    } else if (head.type != USBDEVFS_URB_TYPE_BULK || core_ == nullptr) {
        finish(u, -EPIPE, 0);
    } else if (halted_.count(u.endpoint) != 0) {
        finish(u, -EPIPE, 0);
    } else if ((u.endpoint & 0x80) != 0) {
        if (stalls(Pipe::In)) {
            halted_.insert(u.endpoint);
            finish(u, -EPIPE, 0);
        } else {
            pending_in_.push_back(u);
        }
    } else {
        bulk_out(u);
    }
    pump();
}

void UsbfsDevice::control(Urb& u) {
    if (u.buf == nullptr || u.length < 8) {
        u.status = -EPIPE;
        return;
    }
    const uint8_t* setup = u.buf->data;
    std::optional<std::string> reply = support::standard_request(desc_, setup);
    if (!reply) {
        u.status = -EPIPE;
        return;
    }
    reply->resize(std::min<size_t>(reply->size(), u.length - 8));
    // the setup packet stays in front of the data
    u.in = std::string(reinterpret_cast<const char*>(setup), 8) + *reply;
    u.actual = static_cast<uint32_t>(reply->size());
}

void UsbfsDevice::bulk_out(Urb u) {
    if (stalls(Pipe::Out)) {
        halted_.insert(u.endpoint);
        finish(u, -EPIPE, 0);
        return;
    }
    std::span<uint8_t> into = core_->transfer_buffer(u.length);
    if (u.length > 0) std::memcpy(into.data(), u.buf->data, u.length);
    pending_out_.push_back(u);
    core_->transfer_done(u.length);
}

void UsbfsDevice::finish(Urb u, int status, uint32_t actual) {
    u.status = status;
    u.actual = actual;
    done_.push_back(u);
}

// Turns the core's output into completed URBs, as far as pauses and the host's IN requests
// allow.
void UsbfsDevice::pump() {
    if (core_ == nullptr) return;
    support::pump_output(*core_, on_bus_, hold_until_,
                         {.ack =
                              [this](uint32_t taken) {
                                  if (pending_out_.empty()) return;
                                  finish(pending_out_.front(), 0, taken);
                                  pending_out_.pop_front();
                              },
                          .status =
                              [this](const std::string& packet) {
                                  if (pending_in_.empty()) return false;
                                  Urb u = pending_in_.front();
                                  pending_in_.pop_front();
                                  u.in = packet.substr(0, u.length);
                                  finish(u, 0, static_cast<uint32_t>(u.in.size()));
                                  return true;
                              },
                          .leave = [this](uint32_t away_ms) { leave(away_ms); }});
}

// Off the bus: what was in flight ends as the kernel ends it for a device that is gone, the
// host's next request fails with ENODEV, and a command already acknowledged is still carried
// out.
void UsbfsDevice::leave(uint32_t away_ms) {
    on_bus_ = false;
    for (auto* q : {&pending_in_, &pending_out_}) {
        for (auto& u : *q) finish(u, -ESHUTDOWN, 0);
        q->clear();
    }
    auto& out = core_->output();
    while (!out.empty()) {
        devsim::Output o = std::move(out.front());
        out.pop_front();
        if (o.kind == devsim::OutputKind::Work) core_->run_pending();
    }
    core_->host_left();
    hold_until_.reset();
    away_(away_ms);
}

void UsbfsDevice::reap(UMockdevIoctlClient* client, int generation) {
    if (generation == generation_) pump();
    auto it = std::find_if(done_.begin(), done_.end(),
                           [&](const Urb& u) { return u.generation == generation; });
    if (it == done_.end()) {
        // libusb reaps without waiting whenever the node polls ready, which it always does
        const bool gone = !on_bus_ || generation != generation_;
        umockdev_ioctl_client_complete(client, -1, gone ? ENODEV : EAGAIN);
        return;
    }
    Urb u = *it;
    done_.erase(it);
    usbdevfs_urb head{};
    std::memcpy(&head, u.urb->data, sizeof head);
    head.status = u.status;
    head.actual_length = static_cast<int>(u.actual);
    std::memcpy(u.urb->data, &head, sizeof head);
    if (!u.in.empty() && u.buf != nullptr) {
        std::memcpy(u.buf->data, u.in.data(), std::min<size_t>(u.in.size(), u.length));
    }
    UMockdevIoctlData* slot = resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(void*));
    umockdev_ioctl_data_set_ptr(slot, 0, u.urb);
    umockdev_ioctl_client_complete(client, 0, 0);
    g_object_unref(slot);
    release(u);
}

// A transfer the host gives up on (its timeout): the URB comes back as cancelled.
void UsbfsDevice::discard(UMockdevIoctlClient* client) {
    uint64_t address = 0;
    std::memcpy(&address, umockdev_ioctl_client_get_arg(client)->data, sizeof(void*));
    for (auto* q : {&pending_in_, &pending_out_}) {
        auto it =
            std::find_if(q->begin(), q->end(), [&](const Urb& u) { return u.address == address; });
        if (it == q->end()) continue;
        finish(*it, -ENOENT, 0);
        q->erase(it);
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}

}  // namespace umock
