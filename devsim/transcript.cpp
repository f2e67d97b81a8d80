#include "devsim/transcript.h"

namespace devsim {

bool Transcript::open(const std::string& path) {
    file_.reset(std::fopen(path.c_str(), "w"));
    return file_ != nullptr;
}

void Transcript::line(std::string_view dev, std::string_view ev, std::string_view rest) {
    if (!file_) return;
    std::string l = R"({"dev":)" + json_string(dev) + R"(,"ev":")" + std::string(ev) + "\"";
    l += rest;
    l += "}\n";
    std::fwrite(l.data(), 1, l.size(), file_.get());
    std::fflush(file_.get());
}

// the texts are escaped only when there is a file to write them to: without a transcript a
// long transfer taken as a command would be escaped byte by byte for nothing
void Transcript::text_line(std::string_view dev, std::string_view ev, std::string_view key,
                           std::string_view text) {
    tell(ev, text);
    if (!file_) return;
    std::string rest = ",\"";
    rest.append(key).append("\":").append(json_string(text));
    line(dev, ev, rest);
}

void Transcript::command(std::string_view dev, std::string_view text) {
    text_line(dev, "command", "text", text);
}

void Transcript::answer(std::string_view dev, std::string_view packet) {
    text_line(dev, "answer", "text", packet);
}

void Transcript::data(std::string_view dev, uint64_t bytes) {
    tell("data", {}, bytes);
    line(dev, "data", ",\"bytes\":" + std::to_string(bytes));
}

void Transcript::reboot(std::string_view dev) {
    tell("reboot", {});
    line(dev, "reboot", {});
}

void Transcript::gone(std::string_view dev, std::string_view why) {
    text_line(dev, "gone", "why", why);
}

void Transcript::back(std::string_view dev) {
    tell("back", {});
    line(dev, "back", {});
}

void Transcript::loader(std::string_view dev, std::string_view image) {
    text_line(dev, "loader", "image", image);
}

}  // namespace devsim
