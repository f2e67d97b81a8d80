// The stages that run inside the flow. The loader images and the layout tables are not carried
// by this build yet: the stages that need them say so and send the run to the error exit rather
// than go on with an install that would leave the device half done.
#include "installer/stages.h"

#include <cstring>

#include "client/action_queue.h"
#include "console/console.h"
#include "installer/flow.h"

namespace {

// The version of the RQ3 loader image; a device loader below it needs the image written.
constexpr char kRq3LoaderVersion[] = "Z05";

}  // namespace

int version_cmp(const char* reply, const char* ref) {
    return std::strncmp(reply, ref, 3);
}

int rq3_loader_stage() {
    query_step("verflag");
    con_out("\n###Ver:%s\n", retvalue);
    con_flush();
    if (retvalue[0] != '\0' && version_cmp(retvalue, kRq3LoaderVersion) >= 0) return 0;
    con_err("\nerror: loader image is not in this build (device loader '%s', needs %s)\n", retvalue,
            kRq3LoaderVersion);
    wipe = 0;
    return -1;
}

int loader_stage() {
    // the plan is already chosen; naming it shows what this run would have installed
    con_err("\nerror: loader stage is not in this build (sys_new %d, wipe %d)\n", sys_new, wipe);
    return -1;
}

int variant_switch_stage() {
    con_err("\nerror: storage-variant switch is not in this build\n");
    return -1;
}

int download_preamble() {
    con_err("\nerror: download preamble is not in this build\n");
    return -1;
}

int partition_stage() {
    con_err("\nerror: partition stage is not in this build\n");
    return -1;
}

int package_plan() {
    con_err("\nerror: package plan is not in this build\n");
    return -1;
}
