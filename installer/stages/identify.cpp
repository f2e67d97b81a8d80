// checkmatch: the board id stored, the model found in the model table, and the package's
// config.bin line compared with the names that model accepts.
#include "installer/stages/identify.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "base/unique_file.h"
#include "console/console.h"
#include "console/device_text.h"
#include "installer/boardtype/boardtype.h"
#include "installer/boardtype/model_table.h"
#include "installer/steps/package.h"
#include "installer/steps/regular_file.h"

namespace {

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
        // only a regular file is read: opening a FIFO would wait for a writer for ever. A missing
        // or unusable config.bin refuses the package, saying why
        base::unique_fd fd = open_regular_file("config.bin");
        if (!fd) {
            std::string why = "is missing from the package";
            package_file_entry("config.bin", &why);
            con_err("\nerror: config.bin %s\n", why.c_str());
            return 0;
        }
        base::unique_file config(::fdopen(fd.get(), "r"));
        if (!config) return 0;
        fd.release();  // the stream owns it now
        if (std::fgets(line, sizeof line, config.get()) == nullptr) {
            con_err("\nerror: config.bin is empty\n");
            return 0;
        }
    }

    BOARD_TYPE_SET(name, static_cast<int>(std::strlen(name)));

    const board_model* model = attached_model();
    if (model == nullptr) {
        con_out("###unknown device. INIT:%d, PCBSN:%s\n", g_boardtype_init,
                device_text(g_boardtype_serialno).c_str());
        if (g_boardtype_serialno[0] == '\0') {
            con_err("\nerror: the device answered no serial number\n");
        } else {
            std::string known;
            for (const board_model& row : board_models()) {
                for (std::string_view code : row.prefixes) {
                    known += known.empty() ? "" : ", ";
                    known += code;
                }
            }
            con_err("\nerror: board id %s begins with none of the known codes: %s\n",
                    device_text(g_boardtype_serialno).c_str(), known.c_str());
        }
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
