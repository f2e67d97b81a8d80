#include "devsim/bootloader.h"

#include <algorithm>
#include <cstring>

#include "check/crc32.h"

namespace devsim {

Bootloader::Bootloader(DeviceConfig config, Storage& storage, Transcript& transcript)
    : config_(std::move(config)), storage_(storage), transcript_(transcript) {
    storage_.keep_vars(config_.vars);
}

std::span<uint8_t> Bootloader::transfer_buffer(uint32_t len) {
    // a device that keeps no download bytes looks at each transfer in passing
    direct_ = config_.keep_download && phase_ && len <= phase_->size - phase_->pos;
    if (direct_) return download_.span(phase_->pos, len);
    scratch_.reserve(len);
    return scratch_.span(0, len);
}

void Bootloader::transfer_done(uint32_t len) {
    if (phase_) {
        data(len);
    } else {
        command(std::string_view(reinterpret_cast<const char*>(scratch_.data()), len));
    }
}

void Bootloader::command(std::string_view text) {
    if (text.empty()) {
        // a zero-length packet carries no command
        out_.push_back({OutputKind::Ack, 0, {}});
        return;
    }
    transcript_.command(config_.name, text);
    FaultHits hits(faults_for_command(config_.faults, text));
    if (hits.vanish_command) {
        // gone before the transfer completes: the host's write fails
        go_away("vanish:command");
        return;
    }
    // the transfer is complete once the device has it; what the command does comes after
    out_.push_back({OutputKind::Ack, static_cast<uint32_t>(text.size()), {}});
    pending_.emplace(Pending{std::string(text), std::move(hits)});
    out_.push_back({OutputKind::Work, 0, {}});
}

void Bootloader::run_pending() {
    if (!pending_) return;
    Pending pending = std::move(*pending_);
    pending_.reset();
    std::string_view text = pending.text;
    FaultHits& hits = pending.hits;
    if (hits.silence_ms > 0) out_.push_back({OutputKind::Pause, hits.silence_ms, {}});
    for (const auto& info : hits.infos) answer(info);
    for (uint32_t i = 0; i < hits.flood; ++i) answer("INFOflood " + std::to_string(i + 1));

    std::string reply;
    if (!hits.answer) {
        reply = run(text, hits);
    } else {
        reply = *hits.answer;
        // a host takes OKAY or DATA to a download as leave to send the data, so the device
        // expects it then
        if (text.starts_with("download:") &&
            (reply.starts_with("OKAY") || reply.starts_with("DATA"))) {
            download(text.substr(9), hits);
        }
    }
    if (hits.vanish_status && !phase_) {
        go_away("vanish:status");
        return;
    }
    // a loader that restarts at once: the link closes before the answer could go out, and the
    // reboot happens all the same
    if (!(hits.restart && reboot_after_answer_)) answer(reply, hits.oversize);
    if (text.starts_with("setvar:")) storage_.keep_vars(config_.vars);
    if (reboot_after_answer_) {
        reboot_after_answer_ = false;
        transcript_.reboot(config_.name);
        forget_volatile_state();
        run_new_loader();
        take_respcb();
        storage_.keep_vars(config_.vars);
        if (hits.reserial) config_.serial = *hits.reserial;
        out_.push_back({OutputKind::Reboot, reboot_away_ms_, {}});
    }
}

void Bootloader::data(uint32_t len) {
    DataPhase& p = *phase_;
    uint32_t take = std::min(len, p.size - p.pos);
    if (!direct_ && take > 0 && config_.keep_download)
        std::memcpy(download_.data() + p.pos, scratch_.data(), take);
    if (p.first && p.short_write) take = std::min(take, *p.short_write);
    p.first = false;
    // it keeps what arrived up to the limit (at most the whole download) and leaves without
    // acknowledging the transfer that reached it
    if (p.vanish_after && p.pos + take >= std::min(*p.vanish_after, p.size)) {
        transcript_.data(config_.name, std::min(*p.vanish_after, p.size));
        go_away("vanish:data");
        return;
    }
    if (!config_.keep_download) p.crc = get_crc32(p.crc, scratch_.data(), take);
    p.pos += take;
    out_.push_back({OutputKind::Ack, take, {}});
    if (p.pos == p.size) finish_data();
}

void Bootloader::finish_data() {
    DataPhase p = *phase_;
    phase_.reset();
    transcript_.data(config_.name, p.size);
    download_size_ = p.size;
    download_crc_ = p.crc;
    if (p.corrupt) download_.data()[0] ^= 0xFF;
    if (p.vanish_before_status) {
        go_away("vanish:status");
        return;
    }
    answer("OKAY");
}

void Bootloader::answer(std::string_view packet, bool whole) {
    if (!whole) packet = packet.substr(0, kMaxStatusPacket);
    transcript_.answer(config_.name, packet);
    out_.push_back({OutputKind::Status, 0, std::string(packet)});
}

void Bootloader::go_away(std::string_view why) {
    transcript_.gone(config_.name, why);
    forget_volatile_state();
    out_.push_back({OutputKind::Vanish, 0, {}});
}

// what a device loses when it leaves the bus: the command in progress and its RAM
void Bootloader::forget_volatile_state() {
    pending_.reset();
    phase_.reset();
    download_size_.reset();
    download_.release();
    reboot_after_answer_ = false;
}

void Bootloader::run_new_loader() {
    if (loader_to_run_.empty()) return;
    auto next = config_.loader_verflags.find(loader_to_run_);
    if (next != config_.loader_verflags.end()) config_.vars["verflag"] = next->second;
    loader_to_run_.clear();
}

// the board id that "respcb" asks for is the one the device starts with
void Bootloader::take_respcb() {
    auto respcb = config_.vars.find("respcb");
    if (respcb == config_.vars.end()) return;
    auto serial = config_.respcb_serials.find(respcb->second);
    if (serial != config_.respcb_serials.end()) config_.vars["serialno"] = serial->second;
}

void Bootloader::host_left() {
    if (!phase_) return;
    phase_.reset();
    download_size_.reset();
}

void Bootloader::back() {
    transcript_.back(config_.name);
}

}  // namespace devsim
