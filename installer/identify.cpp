#include "installer/identify.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "console/console.h"
#include "installer/boardtype/boardtype.h"
#include "installer/boardtype/model_table.h"

namespace {

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, FileCloser>;

const board_model* attached_model() {
    for (const board_model& row : board_models()) {
        if (board_id_matches(row)) return &row;
    }
    return nullptr;
}

}  // namespace

int checkmatch(const char* name) {
    if (name == nullptr) return 0;

    // the package's target is the first line of config.bin, newline kept, at most 31 bytes
    char line[32] = {};
    {
        file_ptr config(std::fopen("config.bin", "r"));
        if (!config) return 0;
        if (std::fgets(line, sizeof line, config.get()) == nullptr) return 0;
    }

    BOARD_TYPE_SET(name, static_cast<int>(std::strlen(name)));

    const board_model* model = attached_model();
    if (model == nullptr) {
        con_out("###unknown device. INIT:%d, PCBSN:%s\n", g_boardtype_init, g_boardtype_serialno);
        return 0;
    }

    // the line buffer is zero-filled past what was read, so comparing over a name's length
    // never reads beyond it and a shorter line never matches
    std::string_view target(line, sizeof line - 1);
    for (std::string_view accepted : model->configs) {
        if (target.substr(0, accepted.size()) == accepted) return 1;
    }

    std::string device(model->name);
    con_out("###当前机型(Device)：%s\n", device.c_str());
    con_out("###当前固件(Firmware)：%s\n", line);
    return 0;
}
